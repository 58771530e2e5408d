#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "engine/quote.hpp"

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

}  // namespace
}  // namespace kelo_frame
