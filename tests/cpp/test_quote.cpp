#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "../../fuzz/quote_check.hpp"
#include "engine/quote.hpp"

namespace kelo_frame {
namespace {

using namespace std::literals;

class QuoteInvalidUtf8 : public testing::TestWithParam<std::pair<std::string_view, std::string_view>> {};

TEST_P(QuoteInvalidUtf8, WritesEachByte) {
  auto [in, want] = GetParam();
  // Copy into a buffer of exactly the text's size so that reading past the
  // end shows up under the sanitizers.
  const std::string exact(in);
  EXPECT_EQ(quoted(exact), want);
}

INSTANTIATE_TEST_SUITE_P(Bytes, QuoteInvalidUtf8,
                         testing::Values(std::pair{"a\xbfz"sv, R"("a\x{bf}z")"sv},
                                         std::pair{"\xc0\xaf"sv, R"("\x{c0}\x{af}")"sv},  // overlong '/'
                                         std::pair{"\xe0\x80\xaf"sv, R"("\x{e0}\x{80}\x{af}")"sv},
                                         std::pair{"\xf0\x80\x80\xaf"sv, R"("\x{f0}\x{80}\x{80}\x{af}")"sv},
                                         // Surrogates encoded as if they were characters.
                                         std::pair{"\xed\xa0\x80"sv, R"("\x{ed}\x{a0}\x{80}")"sv},
                                         std::pair{"\xed\xbf\xbf"sv, R"("\x{ed}\x{bf}\x{bf}")"sv},
                                         // Above U+10FFFF.
                                         std::pair{"\xf4\x90\x80\x80"sv, R"("\x{f4}\x{90}\x{80}\x{80}")"sv},
                                         std::pair{"\xf5\x80\x80\x80"sv, R"("\x{f5}\x{80}\x{80}\x{80}")"sv},
                                         // Cut short at the end of the text, and before an ASCII byte.
                                         std::pair{"\xf0\x9f\x98"sv, R"("\x{f0}\x{9f}\x{98}")"sv},
                                         std::pair{"\xe2\x82z"sv, R"("\x{e2}\x{82}z")"sv},
                                         // A lead byte followed by another lead byte: the second starts afresh.
                                         std::pair{"\xe2\xe2\x82\xac"sv, "\"\\x{e2}\xe2\x82\xac\""sv},
                                         std::pair{"\xc3\xc3\xa9\""sv, "\"\\x{c3}\xc3\xa9\\\"\""sv}));

// The quoted form follows the rules of the fuzz target's check (it aborts
// with the text when one is broken) on every text of one and two bytes;
// test_fuzz_targets runs the same check on random texts.
void expect_round_trip(const std::string& text) {
  fuzz::quote_check::check_quoted(text);
  // The output is well-formed UTF-8 of characters written as themselves:
  // quoting it again escapes only its double quotes and backslashes.
  const std::string q = quoted(text);
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

}  // namespace
}  // namespace kelo_frame
