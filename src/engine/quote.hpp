// The quoted form of a text, used for names and cell texts in every message.
#pragma once

#include <string>
#include <string_view>

namespace kelo_frame {

// A double quote, the text with escapes, a double quote. Inside: \" \\ \t \r
// \n \0 for those characters; \u{hex} for Grapheme_Extend characters and for
// the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (but the space);
// every other character unchanged. Bytes that are not valid UTF-8 are written
// as \x{hex}, one per byte, since they are no character at all.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace kelo_frame
