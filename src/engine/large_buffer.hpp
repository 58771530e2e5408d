// Uninitialised arrays for large scratch data, backed by huge pages where the
// system offers them without a wait.
//
// The first write to fresh memory costs a page fault per 4 KiB page, which
// for arrays of hundreds of megabytes is a large part of an operation's time.
// Asking the kernel for huge pages over such an array cuts the number of
// faults about 500-fold; they are asked for only where the kernel can give
// them without compacting memory first, and where free huge blocks are not
// the host's again (huge_pages.hpp). Either way a large array's pages are
// made in one request (fresh_pages.hpp). Small arrays come from the ordinary
// allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "fresh_pages.hpp"

namespace kelo_frame {

// Asks for huge pages over the whole 2 MiB pages inside [data, data + bytes)
// when the kernel can give them without stalling (huge_advice_now). Only a
// hint: nothing happens where the system does not support it.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

namespace large_buffer_detail {

// Arrays at least this large are aligned to huge pages.
inline constexpr std::size_t huge_page = std::size_t{1} << 21;

// Makes the pages of the whole array at once when made_ahead (see
// fresh_pages.hpp), else leaves them to fault in as they are first written.
void* allocate(std::size_t bytes, bool made_ahead);  // throws std::bad_alloc
void release(void* data) noexcept;

struct Release {
  void operator()(void* data) const noexcept { release(data); }
};

}  // namespace large_buffer_detail

// Asks a LargeBuffer to leave its pages to fault in as written: for a buffer
// that its user may give up on after writing only its start.
struct PagesAsWritten {};

// n items, uninitialised: every item must be written before it is read. The
// pages of a large buffer are made when it is allocated, since its user
// writes it whole.
template <class T>
class LargeBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  LargeBuffer() = default;
  explicit LargeBuffer(std::size_t n)
      : data_(static_cast<T*>(large_buffer_detail::allocate(n * sizeof(T), true))), size_(n) {}
  LargeBuffer(std::size_t n, PagesAsWritten /*unused*/)
      : data_(static_cast<T*>(large_buffer_detail::allocate(n * sizeof(T), false))), size_(n) {}

  [[nodiscard]] T* data() const noexcept { return data_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) const noexcept { return data_.get()[i]; }

 private:
  std::unique_ptr<T, large_buffer_detail::Release> data_;
  std::size_t size_ = 0;
};

// A vector of n zeros whose pages are, for long vectors, huge ones where
// that is cheaper, and made in one request.
template <class T>
std::vector<T> large_vector(std::size_t n) {
  std::vector<T> out;
  out.reserve(n);
  prefer_huge_pages(out.data(), n * sizeof(T));
  make_pages(out.data(), out.data() + n);
  out.resize(n);
  return out;
}

}  // namespace kelo_frame
