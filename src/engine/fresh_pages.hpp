// Making fresh memory's pages ahead of writing it.
//
// The first write to each 4 KiB page of fresh memory faults into the kernel,
// which on a virtual machine costs more than filling the page. Asking for a
// run of pages in one call (MADV_POPULATE_WRITE) does the same work with one
// entry into the kernel instead of hundreds.
#pragma once

#include <algorithm>
#include <cstddef>

namespace kelo_frame {

// Makes the whole pages inside [from, to) present and writable. Only a
// request: where the system cannot, the pages come one fault at a time on
// first write, as they would anyway. The bytes' contents do not change.
void make_pages(const void* from, const void* to) noexcept;

// Reserves room for n items in v and makes the pages of that room at once: a
// large array written item by item (a table of many columns, their names)
// would otherwise fault in one page at a time.
template <class Vector>
void reserve_made(Vector& v, std::size_t n) {
  v.reserve(n);
  make_pages(v.data() + v.size(), v.data() + n);
}

// Makes the pages of a growing array ahead of its writer, a run at a time, so
// that a writer filling it in small steps still asks the kernel only about
// once per megabyte.
class PagesAhead {
 public:
  // Call before writing items [size, need) of the array at `data`, which has
  // room for `capacity` items. Pages past `need` are made only within the room.
  template <class T>
  void before(const T* data, std::size_t size, std::size_t need, std::size_t capacity) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (bytes != base_) {  // a new (or moved) array: what it holds is made already
      base_ = bytes;
      made_ = size * sizeof(T);
    }
    const std::size_t need_bytes = need * sizeof(T);
    if (need_bytes <= made_) return;
    const std::size_t to = std::min(capacity * sizeof(T), std::max(need_bytes, made_ + kRun));
    if (to > made_) make_pages(bytes + made_, bytes + to);
    made_ = std::max(to, need_bytes);
  }

 private:
  static constexpr std::size_t kRun = std::size_t{1} << 20;
  const unsigned char* base_ = nullptr;
  std::size_t made_ = 0;
};

}  // namespace kelo_frame
