// Key equality of grouping: two keys are equal when every key column's cells
// are: both missing; equal integers; floats that compare equal (so 0.0 and
// -0.0 are one key), or NaNs with identical bits; the same text bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace kelo_frame {

// Key equality of two present number cells.
template <class T>
[[nodiscard]] bool same_key(T a, T b) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    return a == b || (a != a && b != b && std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b));
  } else {
    return a == b;
  }
}

}  // namespace kelo_frame
