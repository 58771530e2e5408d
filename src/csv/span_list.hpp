// SpanList: the fields of one column as the scan found them.
//
// Only the two offsets of each field are stored, 8 bytes a field. The flags of
// a Span can be read back from the text: the byte before a quoted field's
// content is its opening quote, while an unquoted field begins at the start of
// the text or after a comma, CR or LF; and inside a quoted field's content a
// double quote only occurs as half of a doubled quote.
//
// The list grows with realloc, which remaps large blocks instead of copying
// them, and its pages are only touched as fields are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "span.hpp"

namespace kelo_frame::csv {

struct Bounds {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
};

// True when the field at b was written between double quotes.
[[nodiscard]] inline bool is_quoted(Bounds b, std::string_view text) noexcept {
  return b.start != 0 && text[b.start - 1] == '"';
}

// True when the field is missing: empty and not quoted.
[[nodiscard]] inline bool is_missing(Bounds b, std::string_view text) noexcept {
  return b.start == b.end && !is_quoted(b, text);
}

// The full Span of a field, flags included.
[[nodiscard]] inline Span span_of(Bounds b, std::string_view text) noexcept {
  const bool quoted = is_quoted(b, text);
  const bool escaped =
      quoted && b.end != b.start && std::memchr(text.data() + b.start, '"', b.end - b.start) != nullptr;
  return Span{b.start, b.end, quoted, escaped};
}

class SpanList {
 public:
  SpanList() = default;
  SpanList(const SpanList&) = delete;
  SpanList& operator=(const SpanList&) = delete;
  SpanList(SpanList&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  SpanList& operator=(SpanList&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~SpanList() { std::free(data_); }  // NOLINT(cppcoreguidelines-no-malloc)

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] const Bounds* data() const noexcept { return data_; }
  [[nodiscard]] Bounds* data() noexcept { return data_; }
  [[nodiscard]] Bounds operator[](std::size_t i) const noexcept { return data_[i]; }

  void push(Bounds b) {
    if (size_ == capacity_) reserve(capacity_ < 16 ? 16 : capacity_ * 2);
    data_[size_++] = b;
  }

  // Makes room for at least n fields; the first size() are kept.
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    void* grown = std::realloc(data_, n * sizeof(Bounds));  // NOLINT(cppcoreguidelines-no-malloc)
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<Bounds*>(grown);
    capacity_ = n;
  }

  // Sets the count of fields after they were written straight into data();
  // n is at most capacity().
  void set_size(std::size_t n) noexcept { size_ = n; }

  // Frees the memory at once, before the list goes out of scope.
  void release() noexcept { *this = SpanList(); }

 private:
  Bounds* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kelo_frame::csv
