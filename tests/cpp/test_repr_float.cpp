#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

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

// The layout of every kind of value is compared with a reference built from
// std::to_chars in test_repr_float_digits, and with repr() through to_csv.
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
