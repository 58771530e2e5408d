#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "engine/sort.hpp"
#include "engine/table.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using namespace rowops_test;
using Rows = std::vector<std::uint32_t>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Rows sorted(const Table& t, bool descending) { return rows_of(t.sort("x", descending).value()); }

TEST(Sort, MissingColumn) {
  const Table t = table_of(i64s({1}));
  EXPECT_EQ(t.sort("y", false).error(), R"(no column "y" (the frame has "x"))");
}

TEST(Sort, IntsWithMissingBothDirections) {
  const Table t = table_of(i64s({3, std::nullopt, 1, 3, std::nullopt}));
  EXPECT_EQ(sorted(t, false), (Rows{2, 0, 3, 1, 4}));
  EXPECT_EQ(sorted(t, true), (Rows{0, 3, 2, 1, 4}));
}

TEST(Sort, TextsInByteOrder) {
  const Table t = table_of(strs({"b", "B", "a", "ab", "\xc3\xa9", "", std::string("a\0", 2)}));
  EXPECT_EQ(sorted(t, false), (Rows{5, 1, 2, 6, 3, 0, 4}));
  EXPECT_EQ(sorted(t, true), (Rows{4, 0, 3, 6, 2, 1, 5}));
}

TEST(Sort, NanAfterValuesBeforeMissingInBothDirections) {
  const Table t = table_of(f64s({nan, 1.0, std::nullopt, -inf, -nan, inf, 0.0, -0.0, 2.0}));
  // The two zeros are equal and keep their view order in both directions.
  EXPECT_EQ(sorted(t, false), (Rows{3, 6, 7, 1, 8, 5, 0, 4, 2}));
  EXPECT_EQ(sorted(t, true), (Rows{5, 8, 1, 6, 7, 3, 0, 4, 2}));
}

TEST(Sort, ShortInputsAndIdentityCollapse) {
  EXPECT_EQ(sorted(table_of(i64s({})), false), Rows{});
  EXPECT_EQ(sorted(table_of(i64s({std::nullopt})), true), Rows{0});
  const Table in_order = table_of(i64s({1, 2, 2, 5}));
  EXPECT_FALSE(in_order.sort("x", false).value().index);
  // Descending and then ascending hands storage order back: no row index.
  const Table down = in_order.sort("x", true).value();
  ASSERT_TRUE(down.index);
  EXPECT_FALSE(down.sort("x", false).value().index);
}

TEST(Sort, SuccessiveSortsComposeAsMultiKey) {
  Table t;
  ASSERT_TRUE(t.add("k", strs({"b", "a", "b", "a", std::nullopt, "a"})));
  ASSERT_TRUE(t.add("v", i64s({1, 2, 3, 1, 0, std::nullopt})));
  const Table by_v = t.sort("v", true).value();
  const Table by_k_then_v = by_v.sort("k", false).value();
  EXPECT_EQ(rows_of(by_k_then_v), (Rows{1, 3, 5, 2, 0, 4}));
}

TEST(Sort, ViewOrdersOnlyItsRows) {
  const Table t = table_of(i64s({5, 4, 3, 2, 1, 0}));
  const Table view = t.where_num("x", Cmp::Ne, 3).value().head(3);  // rows 0, 1, 3
  EXPECT_EQ(rows_of(view.sort("x", false).value()), (Rows{3, 1, 0}));
  EXPECT_EQ(&*view.sort("x", false).value().col("x").value(), &*t.col("x").value());
}

// A stable reference: sort (cell, place) pairs by the order, then the place.
template <class Cell, class Before>
Rows reference(const std::vector<std::optional<Cell>>& cells, const Rows& order, bool descending, Before before_fn) {
  std::vector<std::pair<std::size_t, std::uint32_t>> places;
  for (std::size_t i = 0; i < order.size(); ++i) places.emplace_back(i, order[i]);
  std::sort(places.begin(), places.end(), [&](const auto& a, const auto& b) {
    const auto& x = cells[a.second];
    const auto& y = cells[b.second];
    if (x.has_value() != y.has_value()) return x.has_value();
    if (x && y) {
      if (before_fn(*x, *y, descending)) return true;
      if (before_fn(*y, *x, descending)) return false;
    }
    return a.first < b.first;
  });
  Rows out;
  for (const auto& p : places) out.push_back(p.second);
  return out;
}

// NaN after every other value in both directions.
bool f64_before(double a, double b, bool descending) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return descending ? b < a : a < b;
}

template <class T>
bool before(const T& a, const T& b, bool descending) {
  return descending ? b < a : a < b;
}

template <class Cell, class MakeCol, class Less>
void check_methods(const std::vector<std::optional<Cell>>& cells, std::mt19937_64& rng, MakeCol make, Less less) {
  const Col col = make(cells);
  Rows order(cells.size());
  std::iota(order.begin(), order.end(), 0U);
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(order.size() - order.size() / 5);  // a view of most rows, shuffled
  for (const bool descending : {false, true}) {
    const Rows want = reference(cells, order, descending, less);
    ASSERT_EQ(sort_rows(col, order, descending, SortMethod::Radix), want) << "radix, n=" << cells.size();
    ASSERT_EQ(sort_rows(col, order, descending, SortMethod::Compare), want) << "compare, n=" << cells.size();
    ASSERT_EQ(sort_rows(col, order, descending, SortMethod::Auto), want) << "auto, n=" << cells.size();
  }
}

class SortMethods : public testing::TestWithParam<std::size_t> {};

TEST_P(SortMethods, F64AgreeWithReference) {
  std::mt19937_64 rng(GetParam());
  const std::vector<double> special = special_doubles();
  std::vector<std::optional<double>> cells;
  for (std::size_t i = 0; i < GetParam(); ++i) {
    const auto pick = rng() % 6;
    if (pick == 0)
      cells.emplace_back(std::nullopt);
    else if (pick == 1)
      cells.emplace_back(special[rng() % special.size()]);
    else if (pick == 2)
      cells.emplace_back(static_cast<double>(rng() % 10));  // many duplicates
    else
      cells.emplace_back(std::bit_cast<double>(rng()));  // any bits, NaN payloads included
  }
  check_methods(cells, rng, [](const auto& c) { return Col(f64s(c)); }, f64_before);
}

TEST_P(SortMethods, I64AgreeWithReference) {
  std::mt19937_64 rng(GetParam() + 1);
  for (const std::uint64_t range : {std::uint64_t{7}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    std::vector<std::optional<std::int64_t>> cells;
    for (std::size_t i = 0; i < GetParam(); ++i) {
      if (rng() % 7 == 0) {
        cells.emplace_back(std::nullopt);
      } else {
        const std::uint64_t bits = range == ~std::uint64_t{0} ? rng() : rng() % range;
        cells.emplace_back(static_cast<std::int64_t>(bits) - (range == 7 ? 3 : 0));
      }
    }
    check_methods(cells, rng, [](const auto& c) { return Col(i64s(c)); }, before<std::int64_t>);
  }
}

TEST_P(SortMethods, StrAgreeWithReference) {
  std::mt19937_64 rng(GetParam() + 2);
  // Short alphabets with NUL and high bytes, lengths around the 8-byte key,
  // and long shared prefixes, so that every way of resolving ties is used.
  const std::string alphabet(
      "\0\x01"
      "ab\x7f\x80\xff",
      7);
  const std::vector<std::string> prefixes{"", "abcdefgh", std::string(9, 'a'), std::string(40, 'z'), "abc"};
  std::vector<std::optional<std::string>> cells;
  for (std::size_t i = 0; i < GetParam(); ++i) {
    if (rng() % 8 == 0) {
      cells.emplace_back(std::nullopt);
      continue;
    }
    std::string s = prefixes[rng() % prefixes.size()];
    const std::size_t length = rng() % 20;
    for (std::size_t j = 0; j < length; ++j) s += alphabet[rng() % (rng() % 2 ? 2 : alphabet.size())];
    cells.emplace_back(std::move(s));
  }
  check_methods(cells, rng, [](const auto& c) { return Col(strs(c)); }, before<std::string>);
}

TEST_P(SortMethods, StrManyEqualLongTexts) {
  std::mt19937_64 rng(GetParam() + 3);
  const std::vector<std::string> names{"San Francisco",
                                       "San Diego",
                                       "San Jose",
                                       "Los Angeles",
                                       "Santa Barbara",
                                       "Santa Barbarb",
                                       std::string(100, 'x'),
                                       std::string(100, 'x') + "y",
                                       "S"};
  std::vector<std::optional<std::string>> cells;
  for (std::size_t i = 0; i < GetParam(); ++i) {
    if (rng() % 50 == 0)
      cells.emplace_back(std::nullopt);
    else
      cells.emplace_back(names[rng() % names.size()]);
  }
  check_methods(cells, rng, [](const auto& c) { return Col(strs(c)); }, before<std::string>);
}

// Large tables without a row index take the paths that read keys in storage
// order, split through memory by the top digit, and rank texts of few
// distinct values; they must agree with the comparison sort.
TEST(Sort, LargeTablesAgreeWithComparisonSort) {
  std::mt19937_64 rng(99);
  constexpr std::size_t n = 150000;
  std::vector<std::optional<double>> floats;
  std::vector<std::optional<std::int64_t>> small_ints;
  std::vector<std::optional<std::int64_t>> wide_ints;
  std::vector<std::optional<std::string>> few_texts;
  std::vector<std::optional<std::string>> many_texts;
  for (std::size_t i = 0; i < n; ++i) {
    const bool gap = rng() % 40 == 0;
    floats.push_back(
        gap ? std::nullopt
            : std::optional(std::round(std::uniform_real_distribution<double>(-1e3, 1e5)(rng) * 1e4) / 1e4));
    small_ints.push_back(gap ? std::nullopt : std::optional(static_cast<std::int64_t>(rng() % 100000) - 5000));
    wide_ints.push_back(static_cast<std::int64_t>(rng()));
    few_texts.push_back(gap ? std::nullopt : std::optional("city " + std::to_string(rng() % 300)));
    many_texts.push_back("note " + std::to_string(rng() % 1000000) + std::string(rng() % 3, '\0'));
  }
  const std::vector<Col> cols{f64s(floats), i64s(small_ints), i64s(wide_ints), strs(few_texts), strs(many_texts)};
  for (const Col& col : cols) {
    Table t;
    ASSERT_TRUE(t.add("x", col));
    for (const bool descending : {false, true}) {
      const Rows want = sort_rows(col, t.rows(), descending, SortMethod::Compare);
      ASSERT_EQ(rows_of(t.sort("x", descending).value()), want) << dtype_name(col) << " " << descending;
      // Through a row index: every other row, backwards.
      Rows some;
      for (std::size_t r = n; r >= 2; r -= 2) some.push_back(static_cast<std::uint32_t>(r - 1));
      const Table view = t.over(some);
      ASSERT_EQ(rows_of(view.sort("x", descending).value()), sort_rows(col, some, descending, SortMethod::Compare));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SortMethods, testing::Values(0, 1, 2, 3, 63, 64, 65, 300, 2000, 20000));

}  // namespace
}  // namespace kelo_frame
