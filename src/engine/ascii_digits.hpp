// ASCII digits: one at a time, and four or eight at a time as the bytes of
// one word, for the parsers of integer, float and date texts.
//
// The word tests and values take the bytes as loaded little-endian (the
// first digit in the lowest byte); callers use them only on little-endian
// machines and read digits one by one elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelo_frame {

// One unsigned compare: bytes below '0' wrap to large values.
constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint32_t load4(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// True when all eight bytes are ASCII digits: adding 0x46 carries into the
// top bit of a byte above '9', subtracting 0x30 borrows into it below '0'.
constexpr bool eight_digits(std::uint64_t v) noexcept {
  return (((v + 0x4646464646464646U) | (v - 0x3030303030303030U)) & 0x8080808080808080U) == 0;
}

// True when all four bytes are ASCII digits.
constexpr bool four_digits(std::uint32_t v) noexcept {
  return (((v + 0x46464646U) | (v - 0x30303030U)) & 0x80808080U) == 0;
}

// The value of eight ASCII digits.
constexpr std::uint64_t eight_digits_value(std::uint64_t v) noexcept {
  v -= 0x3030303030303030U;
  v = (v * 10) + (v >> 8);  // pairs of digits in every other byte
  return (((v & 0x000000FF000000FFU) * (100 + (1000000ULL << 32))) +
          (((v >> 16) & 0x000000FF000000FFU) * (1 + (10000ULL << 32)))) >>
         32;
}

// The value of four ASCII digits.
constexpr std::uint32_t four_digits_value(std::uint32_t v) noexcept {
  v -= 0x30303030U;
  v = ((v * 10) + (v >> 8)) & 0x00FF00FFU;  // pairs of digits in bytes 0 and 2
  return (v & 0xFFU) * 100 + (v >> 16);
}

}  // namespace kelo_frame
