#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cerrno>
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

// The reference value from the C library's conversion, which is correctly
// rounded on this platform and an implementation independent of ours.
double reference(const std::string& text) {
  errno = 0;
  return std::strtod(text.c_str(), nullptr);
}

// Which texts are float texts, and their values, is checked from Python
// against float(); the NaN made here must also be a quiet one.
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

std::string toml_string(const std::string& line) {
  const auto open = line.find('"');
  const auto close = line.rfind('"');
  return line.substr(open + 1, close - open - 1);
}

TEST(CsvFloat, MatchesTheStrtodTable) {
  std::ifstream in(data_dir() / "rust_parse_tests.toml");
  ASSERT_TRUE(in);
  std::string line, text;
  std::size_t converted = 0, refused = 0;
  bool in_negative = false;
  while (std::getline(in, line)) {
    if (line.starts_with("NegativeFormattingTests")) in_negative = true;
    if (in_negative) {
      // A list of quoted texts that no conversion may accept.
      for (auto open = line.find('"'); open != std::string::npos;) {
        const auto close = line.find('"', open + 1);
        const std::string bad = line.substr(open + 1, close - open - 1);
        EXPECT_FALSE(float_(bad).has_value()) << bad;
        ++refused;
        open = line.find('"', close + 1);
      }
      if (line.find(']') != std::string::npos) in_negative = false;
      continue;
    }
    if (line.starts_with("str = ")) text = toml_string(line);
    if (!line.starts_with("hex = ")) continue;
    const std::uint64_t want = std::stoull(toml_string(line), nullptr, 16);
    // Our grammar refuses the unsigned words and payloads this table lists.
    const char first = text.empty() ? '\0' : text[0];
    const bool unsigned_word = std::isalpha(static_cast<unsigned char>(first)) != 0;
    if (unsigned_word || text.find('(') != std::string::npos) {
      EXPECT_FALSE(float_(text).has_value()) << text;
      ++refused;
    } else {
      SCOPED_TRACE(text.substr(0, 80));
      expect_float(text, from_bits(want));
      ++converted;
    }
  }
  EXPECT_GT(converted, 230U);
  EXPECT_GT(refused, 30U);
}

// Random texts inside the grammar, compared bit for bit with the reference.
class Differential {
 public:
  explicit Differential(std::uint64_t seed) : rng_(seed) {}

  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string digits(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + uniform(0, 9));
    return s;
  }
  double random_double() {
    double d;
    do d = from_bits(rng_() & ~kSign);
    while (!std::isfinite(d));
    return d;
  }

  // A random decimal: up to `max_digits` digits, a point anywhere (or none),
  // maybe an exponent.
  std::string decimal(int max_digits, int max_exp) {
    std::string s = digits(uniform(1, max_digits));
    const int point = uniform(-1, static_cast<int>(s.size()));
    if (point >= 0) s.insert(static_cast<std::size_t>(point), ".");
    if (uniform(0, 2) == 0) s += (uniform(0, 1) ? "e" : "E") + std::to_string(uniform(-max_exp, max_exp));
    if (uniform(0, 3) == 0) s.insert(0, uniform(0, 1) ? "-" : "+");
    return s;
  }

  void check(const std::string& text) {
    const auto got = float_(text);
    ASSERT_TRUE(got.has_value()) << text;
    const double want = reference(text);
    ASSERT_EQ(bits(*got), bits(want)) << "\"" << text << "\" gave " << *got << ", want " << want;
  }

  std::mt19937_64 rng_;
};

// Short and long decimals, printed doubles at several precisions, and typical
// CSV values (a few digits either side of the point).
TEST(CsvFloat, AgreesWithTheReferenceOnRandomTexts) {
  Differential d(1);
  char buf[64];
  const int precisions[] = {4, 15, 16, 17, 18, 20, 25};
  for (int i = 0; i < 300000; ++i) {
    d.check(d.decimal(19, 30));
    if (i % 3 == 0) d.check(d.decimal(8, 5));
    if (i % 3 == 1) d.check(d.decimal(40, 340));
    if (i % 15 == 2) d.check(d.decimal(800, 400));
    if (i % 3 != 2) continue;
    std::snprintf(buf, sizeof buf, i % 2 ? "%.*g" : "%.*e", precisions[i % std::size(precisions)], d.random_double());
    d.check(buf);
    const double typical = std::ldexp(static_cast<double>(d.rng_() >> 11), -53) * std::pow(10.0, d.uniform(-3, 12));
    std::snprintf(buf, sizeof buf, "%.*f", d.uniform(0, 17), typical);
    d.check(buf);
  }
}

// The exact decimal midpoint between two neighbouring floats must round to
// the even one; a text a hair below or above it must round down or up. These
// are the texts where a shortcut conversion goes wrong.
TEST(CsvFloat, RoundsHalfwayAndNearHalfwayTexts) {
  if constexpr (std::numeric_limits<long double>::digits < 64) {
    GTEST_SKIP() << "needs a long double that holds a midpoint exactly";
  }
  Differential d(4);
  std::vector<char> buf(1200);
  for (int i = 0; i < 20000; ++i) {
    double lo = d.random_double();
    // Half of the cases near the fast path's reach and at small exponents.
    if (i % 4 == 0) lo = std::ldexp(static_cast<double>(d.rng_() >> 11), d.uniform(-60, 60));
    if (i % 4 == 1) lo = std::ldexp(static_cast<double>(d.rng_() >> 11), d.uniform(-1130, -1000));
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
      d.check(below + exponent);
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
      if (k != std::string::npos) d.check(above + exponent);
    }
  }
}

}  // namespace
}  // namespace kelo_frame::csv
