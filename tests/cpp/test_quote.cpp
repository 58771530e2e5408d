#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "engine/quote.hpp"
#include "engine/unicode_tables.hpp"

namespace kelo_frame {
namespace {

using namespace std::literals;

std::string utf8(char32_t cp) {
  std::string out;
  auto put = [&](std::uint32_t b) { out += static_cast<char>(b); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
  return out;
}

// Reads a quoted form back into the bytes it was made from; nullopt when the
// form is not one that quoted() can produce.
std::optional<std::string> unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  q = q.substr(1, q.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < q.size();) {
    const char c = q[i];
    if (c == '"') return std::nullopt;
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= q.size()) return std::nullopt;
    const char kind = q[i + 1];
    const std::string_view simple = "\"\\trn0";
    const std::string_view meaning{"\"\\\t\r\n\0", 6};
    if (auto at = simple.find(kind); at != std::string_view::npos) {
      out += meaning[at];
      i += 2;
      continue;
    }
    if ((kind != 'u' && kind != 'x') || i + 2 >= q.size() || q[i + 2] != '{') return std::nullopt;
    const std::size_t close = q.find('}', i + 3);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view hex = q.substr(i + 3, close - i - 3);
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
    if (ec != std::errc{} || end != hex.data() + hex.size() || hex.empty()) return std::nullopt;
    // Lower-case digits without leading zeros; bytes always take two digits.
    for (char h : hex)
      if (h >= 'A' && h <= 'F') return std::nullopt;
    if (hex.size() > 1 && hex[0] == '0') return std::nullopt;
    if (kind == 'x') {
      if (hex.size() != 2 || value < 0x80) return std::nullopt;
      out += static_cast<char>(value);
    } else {
      out += utf8(value);
    }
    i = close + 1;
  }
  return out;
}

TEST(Quote, PlainTextIsWrappedUnchanged) {
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(quoted("x"), "\"x\"");
  EXPECT_EQ(quoted("pop density 'km2'"), "\"pop density 'km2'\"");
  EXPECT_EQ(quoted("~!@#$%^&*()_+{}|:<>?`-=[];,./"), "\"~!@#$%^&*()_+{}|:<>?`-=[];,./\"");
}

class QuoteShortEscape : public testing::TestWithParam<std::pair<std::string_view, std::string_view>> {};

TEST_P(QuoteShortEscape, WritesTheEscape) {
  auto [in, want] = GetParam();
  EXPECT_EQ(quoted(in), want);
}

INSTANTIATE_TEST_SUITE_P(Ascii, QuoteShortEscape,
                         testing::Values(std::pair{"a\"b"sv, R"("a\"b")"sv}, std::pair{"a\\b"sv, R"("a\\b")"sv},
                                         std::pair{"a\tb"sv, R"("a\tb")"sv}, std::pair{"a\rb"sv, R"("a\rb")"sv},
                                         std::pair{"a\nb"sv, R"("a\nb")"sv}, std::pair{"a\0b"sv, R"("a\0b")"sv},
                                         std::pair{"\r\n\"\\"sv, R"("\r\n\"\\")"sv},
                                         // A NUL followed by a digit stays readable: \0 then 1.
                                         std::pair{"\0001"sv, R"("\01")"sv},
                                         std::pair{"\x01\x1f\x7f"sv, R"("\u{1}\u{1f}\u{7f}")"sv},
                                         std::pair{"\x0b\x0c"sv, R"("\u{b}\u{c}")"sv}));

class QuoteCodePoint : public testing::TestWithParam<std::pair<char32_t, bool>> {};

// Each code point either stands for itself or is written as \u{hex}.
TEST_P(QuoteCodePoint, EscapedOrNot) {
  auto [cp, escaped] = GetParam();
  std::string hex(8, '\0');
  hex.resize(static_cast<std::size_t>(std::to_chars(hex.data(), hex.data() + hex.size(), std::uint32_t{cp}, 16).ptr -
                                      hex.data()));
  const std::string want = escaped ? "\"a\\u{" + hex + "}b\"" : "\"a" + utf8(cp) + "b\"";
  EXPECT_EQ(quoted("a" + utf8(cp) + "b"), want) << "U+" << hex;
}

INSTANTIATE_TEST_SUITE_P(
    Characters, QuoteCodePoint,
    testing::Values(std::pair{U' ', false},            // the one Zs written as itself
                    std::pair{U'\u00a0', true},        // no-break space, Zs
                    std::pair{U'\u0080', true},        // C1 control, Cc
                    std::pair{U'\u009f', true},        // last C1 control
                    std::pair{U'\u00ad', true},        // soft hyphen, Cf
                    std::pair{U'\u00e9', false},       // é
                    std::pair{U'\u00ff', false},       // ÿ, last of Latin-1
                    std::pair{U'\u0301', true},        // combining acute, Mn
                    std::pair{U'\u0378', true},        // unassigned, Cn
                    std::pair{U'\u0488', true},        // Cyrillic hundred thousands sign, Me
                    std::pair{U'\u0800', false},       // first three-byte character, a letter
                    std::pair{U'\u09be', true},        // Bengali vowel sign AA, Mc but Grapheme_Extend
                    std::pair{U'\u0903', false},       // Devanagari visarga, Mc
                    std::pair{U'\u1680', true},        // Ogham space mark, Zs
                    std::pair{U'\u200b', true},        // zero width space, Cf
                    std::pair{U'\u200c', true},        // zero width non-joiner, Cf and Grapheme_Extend
                    std::pair{U'\u200d', true},        // zero width joiner, Cf
                    std::pair{U'\u2028', true},        // line separator, Zl
                    std::pair{U'\u2029', true},        // paragraph separator, Zp
                    std::pair{U'\u202e', true},        // right-to-left override, Cf
                    std::pair{U'\u3000', true},        // ideographic space, Zs
                    std::pair{U'\u65e5', false},       // 日
                    std::pair{U'\ue000', true},        // private use, Co
                    std::pair{U'\ufe0f', true},        // variation selector 16, Mn
                    std::pair{U'\ufeff', true},        // byte order mark, Cf
                    std::pair{U'\uff9e', true},        // halfwidth voiced sound mark, Lm but Grapheme_Extend
                    std::pair{U'\ufffd', false},       // replacement character, So
                    std::pair{U'\ufffe', true},        // noncharacter, Cn
                    std::pair{U'\uffff', true},        // noncharacter, Cn
                    std::pair{U'\U00010000', false},   // first four-byte character, a letter
                    std::pair{U'\U0001d165', true},    // musical combining stem, Mc but Grapheme_Extend
                    std::pair{U'\U0001d400', false},   // mathematical bold A
                    std::pair{U'\U0001f600', false},   // grinning face, So
                    std::pair{U'\U000e0001', true},    // language tag, Cf
                    std::pair{U'\U000e0100', true},    // variation selector 17, Mn
                    std::pair{U'\U000f0000', true},    // private use plane 15, Co
                    std::pair{U'\U0010ffff', true}));  // last code point, Cn

class QuoteInvalidUtf8 : public testing::TestWithParam<std::pair<std::string_view, std::string_view>> {};

TEST_P(QuoteInvalidUtf8, WritesEachByte) {
  auto [in, want] = GetParam();
  // Copy into a buffer of exactly the text's size so that reading past the
  // end shows up under the sanitizers.
  const std::string exact(in);
  EXPECT_EQ(quoted(exact), want);
}

INSTANTIATE_TEST_SUITE_P(Bytes, QuoteInvalidUtf8,
                         testing::Values(std::pair{"\x80"sv, R"("\x{80}")"sv},  // stray continuation
                                         std::pair{"a\xbfz"sv, R"("a\x{bf}z")"sv},
                                         std::pair{"\xc0\xaf"sv, R"("\x{c0}\x{af}")"sv},  // overlong '/'
                                         std::pair{"\xc1\xbf"sv, R"("\x{c1}\x{bf}")"sv},
                                         std::pair{"\xe0\x80\xaf"sv, R"("\x{e0}\x{80}\x{af}")"sv},
                                         std::pair{"\xf0\x80\x80\xaf"sv, R"("\x{f0}\x{80}\x{80}\x{af}")"sv},
                                         // Surrogates encoded as if they were characters.
                                         std::pair{"\xed\xa0\x80"sv, R"("\x{ed}\x{a0}\x{80}")"sv},
                                         std::pair{"\xed\xbf\xbf"sv, R"("\x{ed}\x{bf}\x{bf}")"sv},
                                         // Above U+10FFFF.
                                         std::pair{"\xf4\x90\x80\x80"sv, R"("\x{f4}\x{90}\x{80}\x{80}")"sv},
                                         std::pair{"\xf5\x80\x80\x80"sv, R"("\x{f5}\x{80}\x{80}\x{80}")"sv},
                                         std::pair{"\xfe\xff"sv, R"("\x{fe}\x{ff}")"sv},
                                         // Cut short at the end of the text, and before an ASCII byte.
                                         std::pair{"\xc3"sv, R"("\x{c3}")"sv},
                                         std::pair{"\xe2\x82"sv, R"("\x{e2}\x{82}")"sv},
                                         std::pair{"\xf0\x9f\x98"sv, R"("\x{f0}\x{9f}\x{98}")"sv},
                                         std::pair{"\xe2\x82z"sv, R"("\x{e2}\x{82}z")"sv},
                                         // A lead byte followed by another lead byte: the second starts afresh.
                                         std::pair{"\xe2\xe2\x82\xac"sv, "\"\\x{e2}\xe2\x82\xac\""sv},
                                         std::pair{"\xc3\xc3\xa9\""sv, "\"\\x{c3}\xc3\xa9\\\"\""sv}));

TEST(Quote, ValidBoundariesAreCharacters) {
  EXPECT_EQ(quoted("\xc2\x80"), R"("\u{80}")");              // U+0080, first two-byte
  EXPECT_EQ(quoted("\xed\x9f\xbf"), R"("\u{d7ff}")");        // U+D7FF, unassigned, just below the surrogates
  EXPECT_EQ(quoted("\xee\x80\x80"), R"("\u{e000}")");        // U+E000, just above them
  EXPECT_EQ(quoted("\xf4\x8f\xbf\xbf"), R"("\u{10ffff}")");  // U+10FFFF
  EXPECT_EQ(quoted("\xe2\x82\xac"), "\"\xe2\x82\xac\"");     // €
}

TEST(Quote, CutBufferIsNotReadPastItsEnd) {
  const std::string euro = "\xe2\x82\xac";
  EXPECT_EQ(quoted(std::string_view(euro.data(), 2)), R"("\x{e2}\x{82}")");
  EXPECT_EQ(quoted(std::string_view(euro.data(), 1)), R"("\x{e2}")");
}

// The quoted form reads back into exactly the bytes it came from, holds only
// well-formed UTF-8, and holds no control character: on every text of one and
// two bytes and on random texts rich in UTF-8 lead and continuation bytes.
void expect_round_trip(const std::string& text) {
  const std::string q = quoted(text);
  const auto back = unquote(q);
  ASSERT_TRUE(back.has_value()) << q;
  ASSERT_EQ(*back, text) << q;
  for (std::size_t i = 0; i < q.size(); ++i) {
    const auto c = static_cast<unsigned char>(q[i]);
    ASSERT_TRUE(c >= 0x20 && c != 0x7F) << q;
  }
  // The output is well-formed UTF-8 of characters written as themselves:
  // quoting it again escapes only its double quotes and backslashes.
  std::string want = "\"";
  for (char c : q) {
    if (c == '"' || c == '\\') want += '\\';
    want += c;
  }
  want += '"';
  ASSERT_EQ(quoted(q), want);
}

TEST(Quote, RoundTripsEveryShortText) {
  for (unsigned a = 0; a < 256; ++a) {
    expect_round_trip(std::string(1, static_cast<char>(a)));
    for (unsigned b = 0; b < 256; ++b) {
      expect_round_trip(std::string{static_cast<char>(a), static_cast<char>(b)});
      if (HasFatalFailure()) return;
    }
  }
}

TEST(Quote, RoundTripsRandomTexts) {
  std::mt19937 rng(20240611);
  const unsigned char interesting[] = {0x00, '"',  '\\', 'a',  '\n', 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf,
                                       0xc0, 0xc2, 0xdf, 0xe0, 0xe2, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff};
  std::uniform_int_distribution<std::size_t> len(0, 12);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof interesting - 1);
  std::uniform_int_distribution<unsigned> any(0, 255);
  for (int n = 0; n < 200000; ++n) {
    std::string text(len(rng), '\0');
    for (auto& ch : text) ch = static_cast<char>(any(rng) < 128 ? interesting[pick(rng)] : any(rng));
    expect_round_trip(text);
    if (HasFatalFailure()) return;
  }
}

// Grapheme_Extend takes in, besides Mn and Me, the characters listed as
// Other_Grapheme_Extend (spacing marks, ZWNJ, tags, ...); the general
// categories are checked against another implementation from Python.
TEST(Quote, OtherGraphemeExtendIsEscaped) {
  std::ifstream in("/usr/share/unicode/PropList.txt");
  if (!in) GTEST_SKIP() << "no /usr/share/unicode/PropList.txt (Debian package unicode-data)";
  std::string line;
  std::getline(in, line);
  if (line.find(std::string("-") + unicode::kVersion + ".txt") == std::string::npos)
    GTEST_SKIP() << "PropList.txt is another Unicode version than the table's " << unicode::kVersion << ": " << line;
  int seen = 0;
  while (std::getline(in, line)) {
    if (line.find("; Other_Grapheme_Extend") == std::string::npos || line.starts_with('#')) continue;
    std::uint32_t first = 0;
    auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), first, 16);
    ASSERT_EQ(ec, std::errc{}) << line;
    std::uint32_t last = first;
    if (std::string_view(p, 2) == "..") {
      ASSERT_EQ(std::from_chars(p + 2, line.data() + line.size(), last, 16).ec, std::errc{}) << line;
    }
    for (std::uint32_t cp = first; cp <= last; ++cp) {
      ++seen;
      const std::string q = quoted(utf8(static_cast<char32_t>(cp)));
      EXPECT_TRUE(q.starts_with("\"\\u{")) << line << " -> " << q;
    }
  }
  EXPECT_GT(seen, 100);
}

}  // namespace
}  // namespace kelo_frame
