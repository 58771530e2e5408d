// Writing one text as a CSV field into a caller's buffer: the quoting rule
// shared by csv::quote and csv::write.
//
// A text goes in quotes when the reader would otherwise split it (comma, line
// break), misread it (a double quote), take it for a missing cell (empty), or
// when it begins with white space, which other CSV readers commonly trim. Only
// the first character is tested for white space, by the Unicode White_Space
// property of its UTF-8 bytes.
//
// The common case, a text that needs no quotes, is copied and checked in one
// pass, 16 or 8 bytes at a time; the writer calls this for the text cells it
// does not copy as whole blocks (long ones, and those that need quotes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelo_frame::csv {

// The most bytes put_field writes for a text of n bytes: every byte a quote,
// doubled, between two quotes.
[[nodiscard]] constexpr std::size_t field_bound(std::size_t n) noexcept { return 2 * n + 2; }

// Writes the text between two double quotes, every double quote doubled.
char* put_quoted(char* out, std::string_view text) noexcept;

// True when a text whose first byte is `lead` (0xC2, 0xE1, 0xE2 or 0xE3)
// begins with a non-ASCII White_Space character.
[[nodiscard]] bool starts_with_wide_space(std::string_view text) noexcept;

namespace field {

constexpr std::uint64_t kOnes = 0x0101010101010101U;
constexpr std::uint64_t kHighs = 0x8080808080808080U;

// Nonzero when some byte of w is zero.
constexpr std::uint64_t zero_byte(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// Nonzero when some byte of w is a comma, a double quote, a CR or an LF.
constexpr std::uint64_t special_byte(std::uint64_t w) noexcept {
  return zero_byte(w ^ (kOnes * ',')) | zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\r')) |
         zero_byte(w ^ (kOnes * '\n'));
}

constexpr bool special(char c) noexcept { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

// True when the first character is white space: U+0009..U+000D, U+0020, or
// one of the non-ASCII White_Space characters.
inline bool starts_with_space(std::string_view text) noexcept {
  const auto c = static_cast<unsigned char>(text[0]);
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0xC2) return false;
  return starts_with_wide_space(text);
}

#if defined(__SSE2__)
// Bit i set when byte i of v is a comma, a double quote, a CR or an LF.
inline std::uint32_t special_lanes(__m128i v) noexcept {
  const __m128i hit =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')), _mm_cmpeq_epi8(v, _mm_set1_epi8('"'))),
                   _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
}
#endif

}  // namespace field

// Bytes that put_field may write past the end of the field it returns.
inline constexpr std::size_t field_slack = 8;

// Writes the text at out as one CSV field, in quotes with quotes doubled when
// it needs them, else as it is, and returns the end. out must have room for
// field_bound(text.size()) + field_slack bytes. `readable` is how many bytes
// may be read from text.data() (at least text.size()): with 8 of them a short
// text is copied and checked as one word.
inline char* put_field(char* out, std::string_view text, std::size_t readable) noexcept {
  const std::size_t n = text.size();
  if (n == 0 || field::starts_with_space(text)) return put_quoted(out, text);
  const char* p = text.data();
  std::uint64_t w = 0;
  if (n < 8) {
    if (readable >= 8) {
      std::memcpy(&w, p, 8);
      std::uint64_t mine = ~std::uint64_t{0} >> (64 - 8 * n);  // the text's bytes
      if constexpr (std::endian::native == std::endian::big) mine = std::byteswap(mine);
      // Borrows in the zero-byte test only run towards later bytes, so a
      // flag inside the text's bytes always comes from a special byte there.
      if ((field::special_byte(w) & mine) != 0) return put_quoted(out, text);
      std::memcpy(out, &w, 8);
      return out + n;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (field::special(p[i])) return put_quoted(out, text);
      out[i] = p[i];
    }
    return out + n;
  }
  std::size_t i = 0;
#if defined(__SSE2__)
  // 16 bytes at a time, the last block overlapping the one before it.
  if (n >= 16) {
    for (;; i += 16) {
      if (i + 16 > n) i = n - 16;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      if (field::special_lanes(v) != 0) return put_quoted(out, text);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
      if (i + 16 == n) return out + n;
    }
  }
#endif
  // Whole words, then one last word that overlaps the previous one.
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (field::special_byte(w) != 0) return put_quoted(out, text);
    std::memcpy(out + i, &w, 8);
  }
  std::memcpy(&w, p + n - 8, 8);
  if (field::special_byte(w) != 0) return put_quoted(out, text);
  std::memcpy(out + n - 8, &w, 8);
  return out + n;
}

}  // namespace kelo_frame::csv
