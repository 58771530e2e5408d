// Appending long runs to a new column's storage.
//
// Columns read from Arrow buffers or pickles are reserved at their final size
// and filled by appending, so nothing is zero-filled first. That memory is
// fresh: it asks for huge pages where they come without a wait
// (engine/large_buffer.hpp), and its pages are made a megabyte ahead of the
// copy (one kernel call per megabyte, engine/fresh_pages.hpp) rather than
// faulted in one at a time. The
// copy goes in steps of a quarter megabyte, and each step can be looked at
// (checked for ASCII, say) just after it is copied, while it is in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/fresh_pages.hpp"
#include "engine/large_buffer.hpp"

namespace kelo_frame::arrow {

// Reserves room for n items in an empty v (a std::vector or std::string),
// asking for huge pages over it where the system gives them without a wait.
template <class V>
void reserve_fresh(V& v, std::size_t n) {
  v.reserve(n);
  prefer_huge_pages(v.data(), n * sizeof(typename V::value_type));
}

// Appends the n items at src (which need not be aligned) to v, a std::vector
// or std::string whose capacity holds them, calling look(items, count) on
// each step's copy in v.
template <class V, class Look>
void append_fresh(V& v, const void* src, std::size_t n, PagesAhead& pages, Look&& look) {
  using T = typename V::value_type;
  constexpr std::size_t step = (std::size_t{1} << 18) / sizeof(T);
  const auto* bytes = static_cast<const unsigned char*>(src);
  const bool aligned = reinterpret_cast<std::uintptr_t>(src) % alignof(T) == 0;
  for (std::size_t k = 0; k < n; k += step) {
    const std::size_t m = std::min(step, n - k);
    const std::size_t old = v.size();
    pages.before(v.data(), old, old + m, v.capacity());
    if (aligned) {
      const auto* from = reinterpret_cast<const T*>(bytes + k * sizeof(T));
      v.insert(v.end(), from, from + m);
    } else {
      v.resize(old + m);
      std::memcpy(v.data() + old, bytes + k * sizeof(T), m * sizeof(T));
    }
    look(static_cast<const T*>(v.data() + old), m);
  }
}

template <class V>
void append_fresh(V& v, const void* src, std::size_t n, PagesAhead& pages) {
  append_fresh(v, src, n, pages, [](const auto*, std::size_t) {});
}

}  // namespace kelo_frame::arrow
