// The quoted form of any bytes: the output must be well-formed UTF-8 between
// two double quotes, use only the known escapes in their canonical spelling,
// show no raw character of the escaped kinds, and decode back to the input.
// The fuzz target runs it on its inputs, the C++ tests on every text of up to
// two bytes and on random texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "check.hpp"
#include "engine/quote.hpp"

namespace kelo_frame::fuzz::quote_check {

// The code point of the well-formed UTF-8 character at s[i] and its length;
// length 0 when the bytes there are not one.
struct Char {
  char32_t cp;
  std::size_t length;
};

inline Char next_char(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0U) == 0xC0) {
    n = 2, cp = b0 & 0x1FU, min = 0x80;
  } else if ((b0 & 0xF0U) == 0xE0) {
    n = 3, cp = b0 & 0x0FU, min = 0x800;
  } else if ((b0 & 0xF8U) == 0xF0) {
    n = 4, cp = b0 & 0x07U, min = 0x10000;
  } else {
    return {0, 0};
  }
  if (i + n > s.size()) return {0, 0};
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0U) != 0x80) return {0, 0};
    cp = (cp << 6) | (b & 0x3FU);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, n};
}

inline bool well_formed(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const Char c = next_char(s, i);
    if (c.length == 0) return false;
    i += c.length;
  }
  return true;
}

inline void append_utf8(std::string& out, char32_t cp) {
  const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  constexpr unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(n == 1 ? cp : lead[n] | (cp >> (6 * (n - 1))));
  for (int k = n - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
}

// Characters that must never appear raw: controls, the line and paragraph
// separators, white space other than the space, some format characters,
// combining marks, private use and noncharacters. A sample of each escaped
// kind, not the whole table.
inline bool must_be_escaped(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xA0 || cp == 0xAD || (cp >= 0x300 && cp <= 0x36F) ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) || cp == 0x205F ||
         cp == 0x3000 || cp == 0xFEFF || (cp >= 0xE000 && cp <= 0xF8FF) || cp == 0xFFFE || cp == 0xFFFF ||
         cp >= 0xF0000;
}

// Reads "{hex}" at s[i]: lower-case digits, no leading zero; the value and
// the offset after the brace.
inline std::pair<std::uint32_t, std::size_t> braced_hex(std::string_view s, std::size_t i, std::string_view input) {
  check(i < s.size() && s[i] == '{', "escape without an opening brace", input);
  std::uint32_t v = 0;
  std::size_t k = i + 1;
  for (; k < s.size() && s[k] != '}'; ++k) {
    const char c = s[k];
    check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "escape digit is not lower-case hex", input);
    check(k - i <= 8, "escape too long", input);
    v = v * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  check(k < s.size(), "escape without a closing brace", input);
  check(k > i + 1, "empty escape", input);
  check(s[i + 1] != '0' || k == i + 2, "escape with a leading zero", input);
  return {v, k + 1};
}


// Aborts with a message when quoted(input) breaks any of the rules above.
inline void check_quoted(std::string_view input) {
  const std::string out = kelo_frame::quoted(input);
  check(out.size() >= 2 && out.front() == '"' && out.back() == '"', "not between double quotes", input);
  check(well_formed(out), "the quoted form is not well-formed UTF-8", input);
  const bool input_well_formed = well_formed(input);
  const std::string_view body = std::string_view(out).substr(1, out.size() - 2);
  std::string back;
  for (std::size_t i = 0; i < body.size();) {
    const char c = body[i];
    if (c == '"') fail_check("a raw double quote inside the quoted form", input);
    if (c != '\\') {
      const Char ch = next_char(body, i);
      check(!must_be_escaped(ch.cp), "a character of an escaped kind is written raw", input);
      back.append(body, i, ch.length);
      i += ch.length;
      continue;
    }
    check(i + 1 < body.size(), "a backslash ends the quoted form", input);
    const char e = body[i + 1];
    i += 2;
    switch (e) {
      case '"': back += '"'; break;
      case '\\': back += '\\'; break;
      case 't': back += '\t'; break;
      case 'r': back += '\r'; break;
      case 'n': back += '\n'; break;
      case '0': back += '\0'; break;
      case 'u': {
        const auto [cp, after] = braced_hex(body, i, input);
        check(cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF), "\\u escape of no scalar value", input);
        check(cp >= 0x80 || (cp < 0x20 && cp != '\t' && cp != '\r' && cp != '\n' && cp != 0) || cp == 0x7F,
              "\\u escape of a character that is written plainly or has a short escape", input);
        append_utf8(back, static_cast<char32_t>(cp));
        i = after;
        break;
      }
      case 'x': {
        check(!input_well_formed, "\\x escape in the quoted form of well-formed UTF-8", input);
        const auto [byte, after] = braced_hex(body, i, input);
        check(byte >= 0x80 && byte <= 0xFF && after == i + 4, "\\x escape is not two hex digits of a non-ASCII byte",
              input);
        back += static_cast<char>(byte);
        i = after;
        break;
      }
      default: fail_check("unknown escape", input);
    }
  }
  check(back == input, "the quoted form does not decode to the text", input);
}

}  // namespace kelo_frame::fuzz::quote_check
