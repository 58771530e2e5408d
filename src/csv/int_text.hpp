// Integer text: an optional '+' or '-', then one or more ASCII digits and
// nothing else, with a value inside the range of a 64-bit signed integer.
// Leading zeros are allowed.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/ascii_digits.hpp"
#include "engine/pow10.hpp"

namespace kelo_frame::csv {

// Parses the integer text [p, end). limit is the end of the readable memory
// around it (at or after end): the digits are read 8 bytes at a time, and a
// tail shorter than 8 is loaded whole when 8 bytes are readable there.
[[nodiscard]] inline bool parse_int(const char* p, const char* end, const char* limit, std::int64_t& out) noexcept {
  if (p == end) return false;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (p == end) return false;
  }
  // Leading zeros add nothing; past them at most 19 digits can be in range.
  while (end - p > 19 && *p == '0') ++p;
  std::size_t n = static_cast<std::size_t>(end - p);
  if (n > 19) return false;
  std::uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (n >= 8) {
      const std::uint64_t w = load8(p);
      if (!eight_digits(w)) return false;
      v = v * 100000000U + eight_digits_value(w);
      p += 8;
      n -= 8;
    }
    if (n != 0 && limit - p >= 8) {
      // The n digits move to the top bytes; '0's fill the bytes below them.
      const unsigned shift = static_cast<unsigned>(8 * (8 - n));
      const std::uint64_t w = (load8(p) << shift) | (0x3030303030303030U >> (64 - shift));
      if (!eight_digits(w)) return false;
      v = v * kPow10[n] + eight_digits_value(w);
      n = 0;
    }
  }
  for (; n != 0; --n, ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d > 9) return false;
    v = v * 10 + d;
  }
  // 19 digits stay below 2^64, so v is exact here.
  if (negative) {
    if (v > (std::uint64_t{1} << 63)) return false;
    out = static_cast<std::int64_t>(std::uint64_t{0} - v);
  } else {
    if (v > static_cast<std::uint64_t>(INT64_MAX)) return false;
    out = static_cast<std::int64_t>(v);
  }
  return true;
}

}  // namespace kelo_frame::csv
