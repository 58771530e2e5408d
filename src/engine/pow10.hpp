// Powers of ten: the ones that are exact doubles, the ones that fit in 64
// bits, and the decimal digit count they give.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace kelo_frame {

// 10^0 to 10^22: every power of ten that a double holds exactly.
inline constexpr std::array<double, 23> kExactPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^0 to 10^19: every power of ten below 2^64.
inline constexpr std::array<std::uint64_t, 20> kPow10 = [] {
  std::array<std::uint64_t, 20> t{};
  t[0] = 1;
  for (std::size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
  return t;
}();

// The number of decimal digits of m > 0: floor(log10(m)) + 1, from the bit
// length (1233 / 4096 ~ log10 2) and one comparison.
constexpr int decimal_digits(std::uint64_t m) noexcept {
  const int t = ((64 - std::countl_zero(m)) * 1233) >> 12;
  return t + (m >= kPow10[static_cast<std::size_t>(t)] ? 1 : 0);
}

}  // namespace kelo_frame
