#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
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

}  // namespace
}  // namespace kelo_frame::repr
