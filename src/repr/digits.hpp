// Decimal digits: eight at a time, and the text of two-digit values, shared
// by the float text and the CSV writer's integers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelo_frame::repr {

namespace detail {

// Two-digit values as 16-bit words of digit values, the first digit in the
// low byte: kDigitPairs[n] for n < 100.
inline constexpr std::array<std::uint16_t, 100> kDigitPairs = [] {
  std::array<std::uint16_t, 100> t{};
  for (std::size_t i = 0; i < 100; ++i) t[i] = static_cast<std::uint16_t>(i / 10 | (i % 10) << 8);
  return t;
}();

}  // namespace detail

// The text of every two-digit value: the digits of n < 100 at [2n, 2n + 2).
inline constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> t{};
  for (std::size_t i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// The 8 digits of x < 10^8 (leading zeros included) as the bytes of one
// word, the first digit in the lowest byte, each byte holding the digit's
// value (0 to 9; OR 0x30 into every byte for text).
//
// y is x / 10^6 in 32.32 fixed point, above the exact value by at most 443
// units of 2^-32 (about 1e-7); each multiplication by 100 moves the next two
// digits into the integer part and the error up by 100, which stays below
// the distance of each step's exact value to its next integer (1e-6, 1e-4,
// 1e-2, 1), so every floor is exact. A run over every x < 10^8 confirmed it.
// The four steps form one short chain of multiplications; the table reads
// hang off it.
inline std::uint64_t digit_word(std::uint64_t x) noexcept {
  constexpr std::uint64_t kLow = 0xFFFFFFFFU;
  std::uint64_t y = ((x * 281474977) >> 16) + 1;  // 281474977 = ceil(2^48 / 10^6)
  std::uint64_t w = detail::kDigitPairs[y >> 32];
  y = (y & kLow) * 100;
  w |= static_cast<std::uint64_t>(detail::kDigitPairs[y >> 32]) << 16;
  y = (y & kLow) * 100;
  w |= static_cast<std::uint64_t>(detail::kDigitPairs[y >> 32]) << 32;
  y = (y & kLow) * 100;
  return w | static_cast<std::uint64_t>(detail::kDigitPairs[y >> 32]) << 48;
}

}  // namespace kelo_frame::repr
