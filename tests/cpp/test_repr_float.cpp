#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "repr/float.hpp"

namespace kelo_frame::repr {
namespace {

double parse(std::string_view text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  EXPECT_EQ(r.ec, std::errc{}) << text;
  EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
  return v;
}

class ReprFloatLayout : public ::testing::TestWithParam<std::pair<double, const char*>> {};

TEST_P(ReprFloatLayout, MatchesReprText) {
  const auto [value, text] = GetParam();
  EXPECT_EQ(float_(value), text);
  if (!std::isnan(value)) {
    const std::string minus = std::signbit(value) ? "" : "-";
    EXPECT_EQ(float_(-value), minus + std::string(text).substr(std::signbit(value) ? 1 : 0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReprFloatLayout,
    ::testing::Values(
        std::pair{0.1, "0.1"}, std::pair{1.0, "1.0"}, std::pair{0.0, "0.0"}, std::pair{-0.0, "-0.0"},
        std::pair{100.0, "100.0"}, std::pair{42.0, "42.0"}, std::pair{-1234.5, "-1234.5"},
        std::pair{123.456, "123.456"},
        // The plain layout holds up to E = 15 ...
        std::pair{1e15, "1000000000000000.0"}, std::pair{9999999999999998.0, "9999999999999998.0"},
        std::pair{9007199254740992.0, "9007199254740992.0"}, std::pair{1234567890123456.7, "1234567890123456.8"},
        // ... and E = 16 is scientific, a one-digit mantissa without a point.
        std::pair{1e16, "1e+16"}, std::pair{9999999999999999.0, "1e+16"}, std::pair{1e21, "1e+21"},
        std::pair{1e100, "1e+100"}, std::pair{9223372036854775808.0, "9.223372036854776e+18"},
        std::pair{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        // Down to E = -4 plain, E = -5 scientific with a two-digit exponent.
        std::pair{0.0001, "0.0001"}, std::pair{1.5 * 0.0001, "0.00015000000000000001"}, std::pair{0.00001, "1e-05"},
        std::pair{-0.000025, "-2.5e-05"}, std::pair{1.5e-7, "1.5e-07"},
        std::pair{std::numeric_limits<double>::denorm_min(), "5e-324"},
        std::pair{std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        std::pair{0.1 + 0.2, "0.30000000000000004"}, std::pair{1.0 / 3.0, "0.3333333333333333"},
        std::pair{123456789012345680.0, "1.2345678901234568e+17"},
        // Two shortest candidates equally near the exact value: the even last
        // digit wins, as in repr().
        std::pair{1200664025187498.75, "1200664025187498.8"}, std::pair{1200664025187498.25, "1200664025187498.2"},
        std::pair{1200664025187497.75, "1200664025187497.8"}, std::pair{std::numeric_limits<double>::infinity(), "inf"},
        std::pair{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(ReprFloat, EveryNanIsNan) {
  const double quiet = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(float_(quiet), "nan");
  EXPECT_EQ(float_(-quiet), "nan");
  EXPECT_EQ(float_(std::bit_cast<double>(std::uint64_t{0x7ff0000000000001})), "nan");
  EXPECT_EQ(float_(std::bit_cast<double>(std::uint64_t{0xfff8dead00000000})), "nan");
}

TEST(ReprFloat, LongestTextFitsTheBound) {
  const double v = -std::bit_cast<double>(std::uint64_t{0x000fedcba9876543});  // a 17-digit subnormal
  EXPECT_EQ(float_(v).size(), float_max_chars);
}

// CPython's own repr formatting cases: "%r INPUT -> EXPECTED", and the
// negated input gives '-' then EXPECTED.
TEST(ReprFloat, CPythonFormattingCases) {
  std::ifstream in(KELO_TEST_DATA "/float-repr/formatfloat_testcases-repr.txt");
  ASSERT_TRUE(in) << "missing test data";
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    if (!line.starts_with("%r ")) continue;
    const auto arrow = line.find(" -> ");
    ASSERT_NE(arrow, std::string::npos) << line;
    const double v = parse(std::string_view(line).substr(3, arrow - 3));
    const std::string expected = line.substr(arrow + 4);
    EXPECT_EQ(float_(v), expected) << line;
    EXPECT_EQ(float_(-v), "-" + expected) << line;
    ++cases;
  }
  EXPECT_EQ(cases, 27);
}

// Bits and repr() of 7,500 floats chosen where shortest printers go wrong
// (ties, interval boundaries, powers of two, subnormals, layout switches);
// tests/data/float-repr/make_random.py made the file.
TEST(ReprFloat, MatchesReprOnSample) {
  std::ifstream in(KELO_TEST_DATA "/float-repr/random.txt");
  ASSERT_TRUE(in) << "missing test data";
  std::string hex;
  std::string expected;
  int lines = 0;
  int wrong = 0;
  while (in >> hex >> expected) {
    std::uint64_t b = 0;
    std::from_chars(hex.data(), hex.data() + hex.size(), b, 16);
    const std::string got = float_(std::bit_cast<double>(b));
    if (got != expected && ++wrong <= 10) ADD_FAILURE() << hex << ": " << got << " != " << expected;
    ++lines;
  }
  EXPECT_EQ(lines, 7506);
  EXPECT_EQ(wrong, 0);
}

// The significand digits (no leading or trailing zeros) and decimal exponent
// of a text in any layout: "123.45", "0.001", "1.5e-07", "1e+16".
std::pair<std::string, int> digits_and_exp(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  const auto e = text.find('e');
  int exp = 0;
  if (e != std::string_view::npos) {
    const auto tail = text.substr(e + (text[e + 1] == '+' ? 2 : 1));
    std::from_chars(tail.data(), tail.data() + tail.size(), exp);
    text = text.substr(0, e);
  }
  const auto point = text.find('.');
  const int before = static_cast<int>(point == std::string_view::npos ? text.size() : point);
  std::string digits;
  for (char c : text) {
    if (c != '.') digits += c;
  }
  const auto lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return {"0", 0};
  digits.erase(0, lead);
  digits.erase(digits.find_last_not_of('0') + 1);
  return {digits, exp + before - 1 - static_cast<int>(lead)};
}

// Checks one finite value: the text reads back to the same bits; it has the
// digits and exponent of std::to_chars's shortest scientific text; no text
// one digit shorter reads back; and when the correctly rounded text of the
// same length reads back, it has the same digits (the nearest candidate wins).
void check_shortest(double v, int& wrong) {
  const std::string text = float_(v);
  if (std::bit_cast<std::uint64_t>(parse(text)) != std::bit_cast<std::uint64_t>(v)) {
    ++wrong;
    ADD_FAILURE() << text << " does not read back";
    return;
  }
  char buf[64];
  const auto sci = [&](int precision) {
    const auto r = precision < 0 ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific)
                                 : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision);
    return std::string(buf, r.ptr);
  };
  const auto [digits, exp] = digits_and_exp(text);
  if (std::pair{digits, exp} != digits_and_exp(sci(-1))) {
    ++wrong;
    ADD_FAILURE() << text << " differs from " << sci(-1);
  }
  const int n = static_cast<int>(digits.size());
  if (v != 0 && n > 1 && parse(sci(n - 2)) == v) {
    ++wrong;
    ADD_FAILURE() << text << " is not shortest: " << sci(n - 2);
  }
  const std::string same = sci(n - 1);
  if (parse(same) == v && digits_and_exp(same).first != digits) {
    ++wrong;
    ADD_FAILURE() << text << " is not nearest: " << same;
  }
}

TEST(ReprFloat, ShortestNearestOnRandomBits) {
  std::mt19937_64 rng(7);
  int wrong = 0;
  for (int i = 0; i < 300000 && wrong < 10; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (std::isfinite(v)) check_shortest(v, wrong);
  }
  EXPECT_EQ(wrong, 0);
}

// Decimals of 1 to 17 digits across the plain range and past it: the values
// with few digits take a different path from long ones, and the two must
// agree on where one ends.
TEST(ReprFloat, ShortestNearestOnRandomDecimals) {
  std::mt19937_64 rng(11);
  int wrong = 0;
  for (int i = 0; i < 300000 && wrong < 10; ++i) {
    const int n = 1 + static_cast<int>(rng() % 17);
    std::string text;
    for (int k = 0; k < n; ++k) text += static_cast<char>('0' + rng() % 10);
    text += "e" + std::to_string(static_cast<int>(rng() % 40) - 28);
    const double v = parse(text);
    check_shortest(v, wrong);
    check_shortest(std::nextafter(v, 0.0), wrong);
    check_shortest(std::nextafter(v, 1e300), wrong);
  }
  for (int e = -323; e <= 308 && wrong < 10; ++e) {
    const double p = parse("1e" + std::to_string(e));
    for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300), 9.999999999999999 * p, 5 * p}) {
      if (std::isfinite(v)) check_shortest(v, wrong);
    }
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace kelo_frame::repr
