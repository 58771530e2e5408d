// The quoting rule of a CSV field.
//
// A text goes in quotes when the reader would otherwise split it (comma, line
// break), misread it (a double quote), take it for a missing cell (empty), or
// when it begins with white space, which other CSV readers commonly trim. Only
// the first character is tested for white space, by the Unicode White_Space
// property on its UTF-8 bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "field.hpp"
#include "write.hpp"

namespace kelo_frame::csv {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101U;
constexpr std::uint64_t kHighs = 0x8080808080808080U;

// Nonzero when some byte of w is zero.
constexpr std::uint64_t zero_byte(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// Nonzero when some byte of w is a comma, a double quote, a CR or an LF.
constexpr std::uint64_t special_byte(std::uint64_t w) noexcept {
  return zero_byte(w ^ (kOnes * ',')) | zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\r')) |
         zero_byte(w ^ (kOnes * '\n'));
}

constexpr bool is_special(char c) noexcept { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

bool has_special(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  for (; end - p >= 8; p += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    if (special_byte(w) != 0) return true;
  }
  for (; p != end; ++p) {
    if (is_special(*p)) return true;
  }
  return false;
}

// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000, read from their UTF-8 bytes.
bool starts_with_space(std::string_view text) noexcept {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = at(0);
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
  const std::size_t n = text.size();
  switch (c) {
    case 0xC2: return n >= 2 && (at(1) == 0x85 || at(1) == 0xA0);
    case 0xE1: return n >= 3 && at(1) == 0x9A && at(2) == 0x80;
    case 0xE2:
      if (n < 3) return false;
      if (at(1) == 0x80) {
        const unsigned char t = at(2);
        return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF;
      }
      return at(1) == 0x81 && at(2) == 0x9F;
    case 0xE3: return n >= 3 && at(1) == 0x80 && at(2) == 0x80;
    default: return false;
  }
}

}  // namespace

bool needs_quotes(std::string_view text) noexcept {
  return text.empty() || starts_with_space(text) || has_special(text);
}

char* put_quoted(char* out, std::string_view text) noexcept {
  *out++ = '"';
  const char* p = text.data();
  const char* end = p + text.size();
  while (p != end) {
    const auto* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
    const char* stop = q != nullptr ? q + 1 : end;
    std::memcpy(out, p, static_cast<std::size_t>(stop - p));
    out += stop - p;
    if (q != nullptr) *out++ = '"';
    p = stop;
  }
  *out++ = '"';
  return out;
}

char* put_field(char* out, std::string_view text) noexcept {
  if (needs_quotes(text)) return put_quoted(out, text);
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

std::string quote(std::string_view text) {
  std::string out;
  out.resize_and_overwrite(field_bound(text.size()), [text](char* buf, std::size_t) {
    return static_cast<std::size_t>(put_field(buf, text) - buf);
  });
  return out;
}

}  // namespace kelo_frame::csv
