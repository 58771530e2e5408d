// 128-bit unsigned arithmetic, for the float parser's and printer's products
// of 64-bit significands with 128-bit powers.
#pragma once

#include <cstdint>

namespace kelo_frame {

__extension__ using u128 = unsigned __int128;

// The full 128-bit product of two 64-bit numbers.
struct Product {
  std::uint64_t high;
  std::uint64_t low;
};

constexpr Product multiply(std::uint64_t a, std::uint64_t b) noexcept {
  const u128 p = static_cast<u128>(a) * b;
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

}  // namespace kelo_frame
