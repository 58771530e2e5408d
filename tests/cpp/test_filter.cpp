#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>

#include "engine/table.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using namespace rowops_test;
using Rows = std::vector<std::uint32_t>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double two_53 = 9007199254740992.0;
constexpr double two_63 = 9223372036854775808.0;
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();

// x86-64's long double holds every int64 and every double exactly, which makes
// it an independent exact reference for mixed comparisons.
static_assert(std::numeric_limits<long double>::digits >= 64);

bool reference(Cmp op, long double c, long double v) {
  switch (op) {
    case Cmp::Eq: return c == v;
    case Cmp::Ne: return c != v;
    case Cmp::Lt: return c < v;
    case Cmp::Le: return c <= v;
    case Cmp::Gt: return c > v;
    case Cmp::Ge: return c >= v;
  }
  return false;
}

Col column_of(const std::vector<std::optional<std::int64_t>>& cells) { return i64s(cells); }
Col column_of(const std::vector<std::optional<double>>& cells) { return f64s(cells); }

// Every comparison of every value against cells in a shuffled view (the kept
// rows must follow the view's order), against the exact reference.
template <class T>
void expect_filters(const std::vector<std::optional<T>>& cells, const std::vector<double>& values, std::size_t keep,
                    std::mt19937_64& rng) {
  const Table t = table_of(column_of(cells));
  Rows order = t.rows();
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(keep);
  const Table view = t.over(order);
  for (const double v : values) {
    for (const Cmp op : {Cmp::Eq, Cmp::Ne, Cmp::Lt, Cmp::Le, Cmp::Gt, Cmp::Ge}) {
      Rows want;
      for (const std::uint32_t r : order) {
        if (cells[r] && reference(op, static_cast<long double>(*cells[r]), static_cast<long double>(v))) {
          want.push_back(r);
        }
      }
      ASSERT_EQ(view.where_num("x", op, v).value().rows(), want) << "value " << v << " op " << int(op);
    }
  }
}

TEST(Filter, I64BoundariesAgainstExactReference) {
  std::mt19937_64 rng(7);
  constexpr std::int64_t i53 = std::int64_t{1} << 53;
  const std::int64_t special[] = {0,       1,        -1,      2,           i53 - 1, i53,
                                  i53 + 1, -i53 - 1, i64_min, i64_min + 1, i64_max, i64_max - 1};
  std::vector<std::optional<std::int64_t>> cells;
  for (int i = 0; i < 600; ++i) {
    const auto pick = rng() % 4;
    if (pick == 0) cells.emplace_back(std::nullopt);
    if (pick == 1) cells.emplace_back(static_cast<std::int64_t>(rng()));
    if (pick >= 2) cells.emplace_back(special[rng() % std::size(special)]);
  }
  const double below_63 = std::nextafter(two_63, 0.0);
  std::vector<double> values{0.5,  -0.5, -0.0,     two_53,    two_53 + 2, -two_53, two_63, -two_63, inf,
                             -inf, nan,  below_63, -below_63, 1e300,      -1e300,  1.0,    2.5};
  for (int i = 0; i < 20; ++i) values.push_back(static_cast<double>(static_cast<std::int64_t>(rng())));
  expect_filters(cells, values, cells.size(), rng);
}

TEST(Filter, F64RandomAgainstReferenceOnView) {
  std::mt19937_64 rng(11);
  const double special[] = {0.0, -0.0, nan, inf, -inf, 1.0, -1.0, 0.5};
  std::vector<std::optional<double>> cells;
  for (int i = 0; i < 5000; ++i) {
    const auto pick = rng() % 5;
    if (pick == 0) cells.emplace_back(std::nullopt);
    if (pick == 1) cells.emplace_back(special[rng() % std::size(special)]);
    if (pick >= 2) cells.emplace_back(std::uniform_real_distribution<double>(-2, 2)(rng));
  }
  expect_filters(cells, {0.0, -0.0, 0.5, nan, inf, -inf, 1.25}, 4000, rng);
}

TEST(Filter, KeepingEveryRowCollapsesOrSharesIndex) {
  const Table t = table_of(i64s({3, 1, 2}));
  const Table all = t.where_num("x", Cmp::Gt, 0).value();
  EXPECT_FALSE(all.index);
  EXPECT_EQ(all.height, 3U);

  const Table sorted = t.sort("x", false).value();
  const Table kept = sorted.where_num("x", Cmp::Ge, 1).value();
  ASSERT_TRUE(kept.index);
  EXPECT_EQ(*kept.index, (Rows{1, 2, 0}));
  // The order of a re-indexed table survives a filter.
  EXPECT_EQ(*sorted.where_num("x", Cmp::Ne, 2).value().index, (Rows{1, 0}));
}

// Membership over heights around the 64-row words and 2048-row blocks that
// the filters scan by, with missing cells at the edges of words, in storage
// order and through a shuffled view.
class Membership : public testing::TestWithParam<std::uint32_t> {};

bool missing_at(std::uint32_t r, std::uint32_t height) {
  return r % 64 == 0 || r % 64 == 63 || r % 2048 == 2047 || r + 1 == height || r % 7 == 3;
}

template <class Cell, class Pass>
void expect_membership(const std::vector<std::optional<Cell>>& cells, const Table& t, const Pass& pass,
                       const std::function<Result<Table>(const Table&)>& filter) {
  std::mt19937_64 rng(cells.size());
  Rows order = t.rows();
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(order.size() / 2);
  for (const Table& view : {t, t.over(order), t.tail(static_cast<std::int64_t>(cells.size()) - 1)}) {
    Rows want;
    for (const std::uint32_t r : view.rows()) {
      if (cells[r] && pass(*cells[r])) want.push_back(r);
    }
    ASSERT_EQ(filter(view).value().rows(), want);
  }
}

TEST_P(Membership, AmongI64) {
  const std::uint32_t height = GetParam();
  std::vector<std::optional<std::int64_t>> cells;
  for (std::uint32_t r = 0; r < height; ++r) {
    cells.push_back(missing_at(r, height) ? std::nullopt : std::optional<std::int64_t>(r % 11));
  }
  const Table t = table_of(i64s(cells));
  const std::vector<double> values{0, 5, 10, 5, 2.5, nan};
  expect_membership(
      cells, t, [](std::int64_t c) { return c == 0 || c == 5 || c == 10; },
      [&values](const Table& v) { return v.where_among("x", values); });
  expect_membership(
      cells, t, [](std::int64_t c) { return c < 3; }, [](const Table& v) { return v.where_num("x", Cmp::Lt, 3); });
}

// Texts of 0 to 19 bytes over {a, b, NUL}, around the 8- and 16-byte words
// that cells are compared by; and some city names.
TEST_P(Membership, InTexts) {
  const std::uint32_t height = GetParam();
  std::mt19937_64 rng(height);
  const auto text = [&rng] {
    std::string s(rng() % 20, 'a');
    for (char& ch : s) ch = "ab\0"[rng() % 3];
    return s;
  };
  const std::array<std::string, 4> pool{"Paris", "Parts", "Rio de Janeiro", std::string("Pa\0is", 5)};
  std::vector<std::optional<std::string>> cells;
  for (std::uint32_t r = 0; r < height; ++r) {
    cells.push_back(missing_at(r, height) ? std::nullopt : std::optional<std::string>(r % 2 ? text() : pool[r % 4]));
    if (r % 5 == 2) cells.back() = "xxxxxxxx" + std::to_string(100000 + r % 300) + "yyyyyyyy";  // same ends
  }
  const Table t = table_of(strs(cells));
  std::vector<std::vector<std::string>> lists{{"Paris", "Rio de Janeira"}, {"Rio de Janeiro", ""}};
  for (int round = 0; round < 10; ++round) {
    std::vector<std::string> wanted{text(), text()};
    if (height > 1) wanted.push_back(cells[1].value_or(""));
    lists.push_back(std::move(wanted));
  }
  for (const std::size_t count : {79, 80, 2000}) {  // past a few dozen texts, a set is probed
    std::vector<std::string> wanted;
    for (std::size_t i = 0; i < count; ++i) {
      wanted.push_back(i % 3 != 0 ? text() : "xxxxxxxx" + std::to_string(100000 + i) + "yyyyyyyy");
    }
    lists.push_back(std::move(wanted));
  }
  for (const std::vector<std::string>& wanted : lists) {
    const std::set<std::string> set(wanted.begin(), wanted.end());
    expect_membership(
        cells, t, [&set](const std::string& c) { return set.contains(c); },
        [&wanted](const Table& v) { return v.where_in("x", wanted); });
  }
}

INSTANTIATE_TEST_SUITE_P(Heights, Membership, testing::Values(1, 2, 63, 64, 65, 130, 2047, 2048, 2049, 4200));

}  // namespace
}  // namespace kelo_frame
