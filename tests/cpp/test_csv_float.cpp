#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "csv/float.hpp"

namespace kelo_frame::csv {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::filesystem::path data_dir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "float-parse";
}

// Expects `text` to be a float text of exactly `want`'s bits (NaN: by sign).
void expect_float(std::string_view text, double want) {
  const auto got = float_(text);
  ASSERT_TRUE(got.has_value()) << "refused: \"" << text << "\"";
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(*got)) << text;
    EXPECT_EQ(std::signbit(*got), std::signbit(want)) << text;
  } else {
    EXPECT_EQ(bits(*got), bits(want)) << "\"" << text << "\" gave " << *got << ", want " << want;
  }
}

// Which texts are float texts is the csv_float fuzz target's check, which
// test_fuzz_targets runs over its corpus (edge cases, and the texts of
// rust_parse_tests.toml); the NaN made here must also be a quiet one.
TEST(CsvFloat, NanIsQuiet) {
  for (const char* text : {"+nan", "-NaN"}) EXPECT_NE(bits(*float_(text)) & (std::uint64_t{1} << 51), 0U) << text;
}

// Every line: `f16 f32 f64 f128 text`, the f64 bits in columns 14 to 29.
TEST(CsvFloat, MatchesTheParseNumberVectors) {
  const char* files[] = {"exhaustive-float16.txt", "freetype-2-7.txt",    "google-wuffs.txt",
                         "lemire-fast-float.txt",  "more-test-cases.txt", "tencent-rapidjson.txt"};
  std::size_t checked = 0;
  for (const char* name : files) {
    std::ifstream in(data_dir() / name);
    ASSERT_TRUE(in) << name;
    std::string line;
    while (std::getline(in, line)) {
      ASSERT_GT(line.size(), 64U) << name;
      const std::uint64_t want = std::stoull(line.substr(14, 16), nullptr, 16);
      const std::string text = line.substr(64);
      SCOPED_TRACE(std::string(name) + ": " + text.substr(0, 80));
      expect_float(text, from_bits(want));
      expect_float("-" + text, from_bits(want ^ kSign));
      expect_float("+" + text, from_bits(want));
      ++checked;
    }
  }
  EXPECT_GT(checked, 52000U);
}

// Random texts inside the grammar, compared bit for bit with the reference.
struct Random {
  std::mt19937_64 rng;
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  double finite_double() {
    for (;;) {
      const double d = from_bits(rng() & ~kSign);
      if (std::isfinite(d)) return d;
    }
  }
  // Up to `max_digits` digits, a point anywhere (or none), maybe an exponent and a sign.
  std::string decimal(int max_digits, int max_exp) {
    std::string s;
    for (int i = uniform(1, max_digits); i > 0; --i) s += static_cast<char>('0' + uniform(0, 9));
    const int point = uniform(-1, static_cast<int>(s.size()));
    if (point >= 0) s.insert(static_cast<std::size_t>(point), ".");
    if (uniform(0, 2) == 0) s += (uniform(0, 1) ? "e" : "E") + std::to_string(uniform(-max_exp, max_exp));
    if (uniform(0, 3) == 0) s.insert(0, uniform(0, 1) ? "-" : "+");
    return s;
  }
};

// Against the C library's conversion: correctly rounded, and independent of ours.
void check(const std::string& text) { expect_float(text, std::strtod(text.c_str(), nullptr)); }

// Short and long decimals, printed doubles at several precisions, and typical
// CSV values (a few digits either side of the point).
TEST(CsvFloat, AgreesWithTheReferenceOnRandomTexts) {
  Random d{std::mt19937_64(1)};
  char buf[64];
  const int precisions[] = {4, 15, 16, 17, 18, 20, 25};
  for (int i = 0; i < 300000 && !HasFailure(); ++i) {
    check(d.decimal(19, 30));
    if (i % 3 == 0) check(d.decimal(8, 5));
    if (i % 3 == 1) check(d.decimal(40, 340));
    if (i % 15 == 2) check(d.decimal(800, 400));
    if (i % 3 != 2) continue;
    std::snprintf(buf, sizeof buf, i % 2 ? "%.*g" : "%.*e", precisions[i % std::size(precisions)], d.finite_double());
    check(buf);
    const double typical = std::ldexp(static_cast<double>(d.rng() >> 11), -53) * std::pow(10.0, d.uniform(-3, 12));
    std::snprintf(buf, sizeof buf, "%.*f", d.uniform(0, 17), typical);
    check(buf);
  }
}

// The exact decimal midpoint between two neighbouring floats must round to
// the even one; a text a hair below or above it must round down or up. These
// are the texts where a shortcut conversion goes wrong.
TEST(CsvFloat, RoundsHalfwayAndNearHalfwayTexts) {
  if constexpr (std::numeric_limits<long double>::digits < 64) {
    GTEST_SKIP() << "needs a long double that holds a midpoint exactly";
  }
  Random d{std::mt19937_64(4)};
  std::vector<char> buf(1200);
  for (int i = 0; i < 20000 && !HasFailure(); ++i) {
    double lo = d.finite_double();
    // Half of the cases near the fast path's reach and at small exponents.
    if (i % 4 == 0) lo = std::ldexp(static_cast<double>(d.rng() >> 11), d.uniform(-60, 60));
    if (i % 4 == 1) lo = std::ldexp(static_cast<double>(d.rng() >> 11), d.uniform(-1130, -1000));
    const double hi = std::nextafter(lo, kInf);
    if (!std::isfinite(hi) || lo == 0) continue;
    const long double mid = (static_cast<long double>(lo) + static_cast<long double>(hi)) / 2;
    std::snprintf(buf.data(), buf.size(), "%.1100Le", mid);
    std::string text(buf.data());
    // Drop the zeros after the last significant digit of the exact expansion.
    const auto e = text.find('e');
    std::string mantissa = text.substr(0, e);
    const std::string exponent = text.substr(e);
    mantissa.erase(mantissa.find_last_not_of('0') + 1);
    const bool lo_even = (bits(lo) & 1) == 0;
    SCOPED_TRACE(mantissa.substr(0, 40) + exponent);
    expect_float(mantissa + exponent, lo_even ? lo : hi);
    expect_float(mantissa + "000001" + exponent, hi);
    // Truncated after 17 to 40 digits: below the midpoint, as the exact
    // expansion's last digit is not zero.
    const std::size_t keep = static_cast<std::size_t>(d.uniform(18, 41));
    if (keep < mantissa.size()) expect_float(mantissa.substr(0, keep) + exponent, lo);
    // The nearest texts of 16 to 19 digits either side of the midpoint: the
    // hardest inputs for a conversion from a 64-bit significand.
    for (std::size_t digits = 16; digits <= 19 && digits + 1 < mantissa.size(); ++digits) {
      std::string below = mantissa.substr(0, digits + 1);  // "d." plus digits - 1
      check(below + exponent);
      std::string above = below;
      std::size_t k = above.size();
      while (k-- > 0) {
        if (above[k] == '.') continue;
        if (above[k] != '9') {
          ++above[k];
          break;
        }
        above[k] = '0';
      }
      if (k != std::string::npos) check(above + exponent);
    }
  }
}

}  // namespace
}  // namespace kelo_frame::csv
