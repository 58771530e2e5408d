// The float text against a reference made from std::to_chars's shortest
// scientific text, laid out the plain way, over random bit patterns and over
// the families where a shortest-digits search can go wrong: powers of two
// (an interval narrower below than above), subnormals, interval ends and
// midpoints that are exact decimals, and every layout switch; then against
// CPython's own repr() cases and a sample of its output.
//
// KELO_FLOAT_SAMPLES raises the number of random patterns per seed (the
// default keeps the suite quick; a release check runs hundreds of millions).
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "repr/float.hpp"

namespace kelo_frame::repr {
namespace {

// repr()'s text of v, from to_chars's digits and exponent.
std::string reference(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  std::string sign = std::signbit(v) ? "-" : "";
  if (v == 0) return sign + "0.0";
  std::array<char, 64> buf{};
  const char* end = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(v), std::chars_format::scientific).ptr;
  const std::string sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const auto e = sci.find('e');
  std::string digits = sci.substr(0, 1) + (e > 1 ? sci.substr(2, e - 2) : "");
  const int exp = std::stoi(sci.substr(e + 1));
  const int n = static_cast<int>(digits.size());
  if (exp < -4 || exp > 15) {
    std::string text = digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "");
    const int a = std::abs(exp);
    return sign + text + (exp < 0 ? "e-" : "e+") + (a < 10 ? "0" : "") + std::to_string(a);
  }
  if (exp < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  if (exp + 1 >= n) return sign + digits + std::string(static_cast<std::size_t>(exp + 1 - n), '0') + ".0";
  return sign + digits.substr(0, static_cast<std::size_t>(exp + 1)) + "." +
         digits.substr(static_cast<std::size_t>(exp + 1));
}

// One value and its negation through both entry points; the first few
// mismatches are reported.
void check(double v, int& wrong) {
  for (const double x : {v, -v}) {
    const std::string want = reference(x);
    std::array<char, float_write_room> padded{};
    const std::string got(padded.data(), float_to_padded(padded.data(), x));
    std::array<char, float_max_chars> exact{};
    const std::string got_exact(exact.data(), float_to(exact.data(), x));
    if ((got != want || got_exact != want) && ++wrong <= 10) {
      ADD_FAILURE() << std::hex << std::bit_cast<std::uint64_t>(x) << ": " << got << " / " << got_exact
                    << " != " << want;
    }
  }
}

double parse(const std::string& text) {
  double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v;
}

double from_parts(std::uint64_t biased, std::uint64_t fraction) {
  return std::bit_cast<double>((biased << 52) | fraction);
}

std::uint64_t samples(std::uint64_t fallback) {
  const char* env = std::getenv("KELO_FLOAT_SAMPLES");
  return env != nullptr ? std::strtoull(env, nullptr, 10) : fallback;
}

class FloatDigitsRandomBits : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FloatDigitsRandomBits, MatchReference) {
  std::mt19937_64 rng(GetParam());
  int wrong = 0;
  const std::uint64_t n = samples(400000);
  for (std::uint64_t i = 0; i < n && wrong < 10; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (std::isfinite(v)) check(v, wrong);
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FloatDigitsRandomBits, ::testing::Values(1, 2, 3, 4));

// Every binary exponent, with the significands at the ends of the binade
// (the lowest is where the interval is lopsided) and a few random ones;
// subnormals with few significant bits, whose one- and two-digit texts may
// have a shorter candidate one decade up (1e-322 for 20 x 2^-1074); and
// integers of 50 to 66 bits.
TEST(FloatDigits, EveryExponentSmallSubnormalsLargeIntegers) {
  std::mt19937_64 rng(5);
  int wrong = 0;
  constexpr std::uint64_t kTop = (std::uint64_t{1} << 52) - 1;
  for (std::uint64_t biased = 0; biased < 0x7FF; ++biased) {
    for (const std::uint64_t f :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, kTop, kTop - 1, rng() & kTop, rng() & kTop}) {
      if (biased != 0 || f != 0) check(from_parts(biased, f), wrong);
    }
  }
  for (std::uint64_t f = 1; f < 70000 && wrong < 10; ++f) check(from_parts(0, f), wrong);
  for (int bits = 50; bits <= 66 && wrong < 10; ++bits) {
    for (int i = 0; i < 20000; ++i)
      check(std::ldexp(static_cast<double>((kTop + 1) | (rng() & kTop)), bits - 53), wrong);
  }
  EXPECT_EQ(wrong, 0);
}

// Values whose scaled interval ends or midpoints are exact: multiples of a
// power of five times a power of two, and 16- to 19-digit integers. The
// search cannot tell these from near misses and must hand them on.
class FloatDigitsExactFamilies : public ::testing::TestWithParam<int> {};

TEST_P(FloatDigitsExactFamilies, MatchReference) {
  const int k = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(100 + k));
  int wrong = 0;
  std::uint64_t five = 1;
  for (int i = 0; i < k; ++i) five *= 5;
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 53;
  for (int i = 0; i < 20000 && wrong < 10; ++i) {
    // c a multiple of 5^k in the top binade, times 2^q for q around k.
    const std::uint64_t c = ((std::uint64_t{1} << 52) + rng() % (std::uint64_t{1} << 52)) / five * five;
    if (c < (std::uint64_t{1} << 52) || c >= kLimit) continue;
    const int q = k - 3 + static_cast<int>(rng() % 60);
    const double v = std::ldexp(static_cast<double>(c), q);
    check(v, wrong);
    check(std::nextafter(v, 0.0), wrong);
    check(std::nextafter(v, INFINITY), wrong);
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(PowersOfFive, FloatDigitsExactFamilies, ::testing::Range(0, 23));

// Both sides of every switch between layouts and of every power of ten.
TEST(FloatDigits, AroundPowersOfTen) {
  int wrong = 0;
  for (int e = -323; e <= 308; ++e) {
    const double p = parse("1e" + std::to_string(e));
    double lo = p;
    double hi = p;
    for (int i = 0; i < 50; ++i) {
      check(lo, wrong);
      check(hi, wrong);
      lo = std::nextafter(lo, 0.0);
      hi = std::nextafter(hi, INFINITY);
    }
    for (const double m : {1.5, 2.5, 9.5, 9.999999999999999, 1.0000000000000002, 4.35, 0.1234567}) {
      if (std::isfinite(m * p)) check(m * p, wrong);
    }
  }
  EXPECT_EQ(wrong, 0);
}

// The f64 column (text [14:30]) of the parse vectors: exact values of every
// float16, halfway cases and long inputs, all correctly rounded doubles.
TEST(FloatDigits, ParseVectors) {
  int wrong = 0;
  int lines = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(KELO_TEST_DATA "/float-parse")) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line) && wrong < 10) {
      if (line.size() < 30) continue;
      std::uint64_t bits = 0;
      std::from_chars(line.data() + 14, line.data() + 30, bits, 16);
      check(std::bit_cast<double>(bits), wrong);
      ++lines;
    }
  }
  EXPECT_GT(lines, 30000);
  EXPECT_EQ(wrong, 0);
}

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
    const double v = parse(line.substr(3, arrow - 3));
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
