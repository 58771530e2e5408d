// Whether bytes are well-formed UTF-8: texts arriving from other libraries and
// from pickles are checked before they become cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelo_frame::arrow {

// True when every byte is below 0x80 (eight bytes per step).
[[nodiscard]] inline bool all_ascii(const char* data, std::size_t size) noexcept {
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, data + i, 8);
    high |= word;
  }
  for (; i < size; ++i) high |= static_cast<unsigned char>(data[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// encoded surrogates, nothing above U+10FFFF, no sequence cut short.
[[nodiscard]] inline bool valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n && all_ascii(text.data() + i, 8)) {
      i += 8;
      continue;
    }
    const unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;  // overlong
      if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;  // overlong
      if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0U) != 0x80U) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace kelo_frame::arrow
