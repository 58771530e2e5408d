// The quoted form of a text, used for names and cell texts in every message.
#pragma once

#include <string>
#include <string_view>

namespace kelo_frame {

// A double quote, the text with escapes, a double quote. Inside: \" \\ \t \r
// \n \0 for those characters; \u{hex} for Grapheme_Extend characters and for
// the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (but the space),
// with the code point in lower-case hex without leading zeros (U+00A0 gives
// \u{a0}); every other character unchanged. Bytes that are not well-formed
// UTF-8 (stray continuation bytes, overlong forms, encoded surrogates, values
// above U+10FFFF, sequences cut short) are written as \x{hh}, two lower-case
// hex digits, one escape per byte, since they are no character at all; the
// bytes after them are read afresh. Safe on any bytes.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace kelo_frame
