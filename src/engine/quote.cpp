// The quoted form of a text: the text between double quotes, with the
// characters that would be invisible, ambiguous or disruptive in a message
// written as escapes.
#include "quote.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

#include "unicode_tables.hpp"

namespace kelo_frame {
namespace {

using unicode::kEscapedRanges;

// Whether a code point is written as \u{hex}, by binary search of the table.
constexpr bool in_table(char32_t cp) {
  auto it = std::upper_bound(kEscapedRanges.begin(), kEscapedRanges.end(), std::uint32_t{cp},
                             [](std::uint32_t v, const unicode::CodeRange& r) { return v < r.first; });
  return it != kEscapedRanges.begin() && std::uint32_t{cp} <= std::prev(it)->last;
}

// The same answer for U+0000..U+00FF, computed once from the table: most
// texts in messages are ASCII or Latin.
constexpr std::array<bool, 256> kLatinEscaped = [] {
  std::array<bool, 256> out{};
  for (char32_t cp = 0; cp < out.size(); ++cp) out[cp] = in_table(cp);
  return out;
}();

bool needs_escape(char32_t cp) { return cp < kLatinEscaped.size() ? kLatinEscaped[cp] : in_table(cp); }

void append_hex_escape(std::string& out, std::string_view prefix, std::uint32_t value) {
  std::array<char, 8> digits{};
  auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16);
  (void)ec;  // eight hex digits hold any 32-bit value
  out += prefix;
  out.append(digits.data(), end);
  out += '}';
}

// One character decoded from well-formed UTF-8: its code point and its length
// in bytes; length 0 when the bytes at the start of `s` are no character
// (a stray continuation byte, an overlong form, a surrogate, a value above
// U+10FFFF, or a sequence cut short).
struct Decoded {
  char32_t cp;
  std::size_t length;
};

Decoded decode(std::string_view s) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  // The bounds on the second byte exclude overlong forms, surrogates and
  // values above U+10FFFF; later bytes are plain continuation bytes.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1FU;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0FU;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07U;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 0};
  }
  if (s.size() < length) return {0, 0};
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = byte(i);
    if (b < lo || b > hi) return {0, 0};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3FU);
  }
  return {cp, length};
}

// The escape of an ASCII character that has a short one, or nullptr.
constexpr const char* short_escape(unsigned char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\r': return "\\r";
    case '\n': return "\\n";
    case '\0': return "\\0";
    default: return nullptr;
  }
}

// Printable ASCII other than the double quote and the backslash: copied as is.
constexpr bool plain_ascii(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy a run of plain ASCII in one step.
    std::size_t run = i;
    while (run < text.size() && plain_ascii(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, i, run - i);
    i = run;
    if (i == text.size()) break;

    const auto c = static_cast<unsigned char>(text[i]);
    if (const char* esc = short_escape(c)) {
      out += esc;
      ++i;
      continue;
    }
    const Decoded d = decode(text.substr(i));
    if (d.length == 0) {
      append_hex_escape(out, "\\x{", c);
      ++i;
      continue;
    }
    if (needs_escape(d.cp)) {
      append_hex_escape(out, "\\u{", static_cast<std::uint32_t>(d.cp));
    } else {
      out.append(text, i, d.length);
    }
    i += d.length;
  }
  out += '"';
  return out;
}

}  // namespace kelo_frame
