// Asking the cache for memory that a loop will read soon.
//
// Reading cells through a row index visits rows in no particular order, so
// each cell is a cache miss; loops over an index ask for the cell a fixed
// number of positions ahead, so that several misses are in flight at once.
// Every hot loop asks through here.
#pragma once

#include <cstdint>

namespace kelo_frame {

// How many positions ahead a loop over a row index asks for its cells.
inline constexpr std::uint64_t prefetch_distance = 16;

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The same for memory that a loop will write soon (a radix sort's buckets).
inline void prefetch_for_write(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}

}  // namespace kelo_frame
