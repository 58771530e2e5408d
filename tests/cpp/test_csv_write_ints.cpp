// Integer cells against std::to_string: every digit count on both sides of
// the one- and two-word paths' limits (10^8, 10^16), both signs, and random
// values of every bit length, in cells whose neighbours would show any byte
// written past the digits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "csv/write.hpp"

namespace kelo_frame::csv {
namespace {

std::string expected(const std::vector<std::int64_t>& values) {
  std::string out = "i,s\n";
  for (const std::int64_t v : values) out += std::to_string(v) + ",x\n";
  return out;
}

Table table_of(const std::vector<std::int64_t>& values) {
  I64Col i;
  StrCol s;
  for (const std::int64_t v : values) {
    i.push(v);
    s.push("x");
  }
  Table t;
  EXPECT_TRUE(t.add("i", std::move(i)));
  EXPECT_TRUE(t.add("s", std::move(s)));
  return t;
}

class CsvWriteInts : public ::testing::TestWithParam<int> {};

// 10^(d-1), 10^d - 1 and their neighbours, for d digits, and the negations.
TEST_P(CsvWriteInts, EveryDigitCount) {
  const int d = GetParam();
  std::int64_t low = 1;
  for (int k = 1; k < d; ++k) low *= 10;
  const std::int64_t high = d == 19 ? std::numeric_limits<std::int64_t>::max() : low * 10 - 1;
  std::vector<std::int64_t> values;
  for (const std::int64_t v : {low, low + 1, high - 1, high, low + (high - low) / 2}) {
    values.push_back(v);
    values.push_back(-v);
  }
  values.push_back(0);
  EXPECT_EQ(write(table_of(values)), expected(values));
}

INSTANTIATE_TEST_SUITE_P(Digits, CsvWriteInts, ::testing::Range(1, 20));

TEST(CsvWriteInts, RandomOfEveryLength) {
  std::mt19937_64 rng(17);
  std::vector<std::int64_t> values = {std::numeric_limits<std::int64_t>::min()};
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<std::int64_t>(rng()) >> (rng() % 64));
  EXPECT_EQ(write(table_of(values)), expected(values));
}

}  // namespace
}  // namespace kelo_frame::csv
