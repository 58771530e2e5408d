#include <gtest/gtest.h>

#include "cells.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/groups.hpp"
#include "engine/sum.hpp"

namespace kelo_frame {
namespace {

using Names = std::vector<std::string>;
constexpr auto none = std::nullopt;
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

using test_cells::floats;
using test_cells::ints;
using test_cells::texts;

// A grouping of column v by column k.
Groups by_k(Col k, Col v) {
  Table t;
  EXPECT_TRUE(t.add("k", std::move(k)));
  EXPECT_TRUE(t.add("v", std::move(v)));
  return t.group(Names{"k"}).value();
}

// The same grouping without the per-position group ids, so that aggregates
// walk the row lists instead (laid out first, from the ids).
Groups without_ids(Groups g) {
  if (g.size() != 0) {
    EXPECT_FALSE(g.group(0).empty());
  }
  g.ids.clear();
  return g;
}

// A copy of the named column of an aggregation's result.
template <class C>
C result(const Result<Table>& t, const std::string& name = "v") {
  EXPECT_TRUE(t) << (t ? "" : t.error());
  if (!t) return C{};
  return std::get<C>(*t->col(name).value());
}

double neumaier(std::initializer_list<double> values) {
  Neumaier n;
  for (double v : values) n.add(v);
  return n.total();
}

TEST(Neumaier, CompensatesAndKeepsInfinities) {
  EXPECT_EQ(neumaier({1e100, 1.0, -1e100}), 1.0);
  EXPECT_EQ(neumaier({1e308, 1e308}), inf);
  EXPECT_EQ(neumaier({-1e308, -1e308}), -inf);
  EXPECT_EQ(neumaier({0.1, 0.2, 0.3}), 0.6);  // plain addition gives 0.6000000000000001
  EXPECT_TRUE(std::isnan(neumaier({1.0, nan})));
  EXPECT_TRUE(std::isnan(neumaier({inf, -inf})));
  EXPECT_EQ(neumaier({}), 0.0);
  EXPECT_FALSE(std::signbit(neumaier({-0.0})));  // starts at 0.0, as sum() starts at 0
}

class Paths : public ::testing::TestWithParam<bool> {
 protected:
  Groups groups(Col k, Col v) {
    Groups g = by_k(std::move(k), std::move(v));
    return GetParam() ? g : without_ids(std::move(g));
  }
};

INSTANTIATE_TEST_SUITE_P(Aggregate, Paths, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "ids" : "lists"; });

TEST_P(Paths, SumsPerGroupInGroupOrder) {
  Groups g = groups(texts({"b", "a", "b", "a", "c"}), ints({1, 10, 2, none, none}));
  const auto s = result<I64Col>(g.agg("v", Agg::Sum));
  EXPECT_EQ(s.values, (std::vector<std::int64_t>{3, 10, 0}));
  EXPECT_TRUE(s.valid.all_present());
  const auto keys = result<StrCol>(g.agg("v", Agg::Sum), "k");
  EXPECT_EQ(keys.at(0), "b");
  EXPECT_EQ(keys.at(2), "c");

  Groups f = groups(ints({1, 2, 1, 2, 3}), floats({1e100, 0.5, 1.0, none, none}));
  const auto fs = result<F64Col>(f.agg("v", Agg::Sum));
  EXPECT_EQ(fs.values, (std::vector<double>{1e100, 0.5, 0.0}));
  EXPECT_TRUE(fs.valid.all_present());
}

TEST_P(Paths, FloatSumIsCompensatedInRowOrder) {
  Groups g = groups(ints({1, 2, 1, 2, 1, 2}), floats({1e100, 1e308, 1.0, 1e308, -1e100, 5}));
  const auto s = result<F64Col>(g.agg("v", Agg::Sum));
  EXPECT_EQ(s.values[0], 1.0);
  EXPECT_EQ(s.values[1], inf);
}

TEST_P(Paths, IntOverflowOfTheRunningSumFails) {
  // The total of group 1 fits, but a partial sum does not.
  Groups g = groups(ints({0, 1, 1, 1}), ints({5, i64_max, 1, -1}));
  for (Agg op : {Agg::Sum, Agg::Mean}) {
    auto r = g.agg("v", op);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "the sum of column \"v\" overflows i64");
  }
  Groups fits = groups(ints({1, 1, 1}), ints({i64_max, -1, 1}));
  EXPECT_EQ(result<I64Col>(fits.agg("v", Agg::Sum)).values, (std::vector<std::int64_t>{i64_max}));
  Groups low = groups(ints({1, 1}), ints({std::numeric_limits<std::int64_t>::min(), -1}));
  EXPECT_FALSE(low.agg("v", Agg::Sum));
}

TEST_P(Paths, MeansAreFloatsFromExactSums) {
  constexpr std::int64_t big = (std::int64_t{1} << 53) + 1;
  Groups g = groups(ints({1, 2, 1, 2, 3}), ints({1, big, 2, -(big - 1), none}));
  const auto m = result<F64Col>(g.agg("v", Agg::Mean));
  EXPECT_EQ(m.values[0], 1.5);
  EXPECT_EQ(m.values[1], 0.5);  // converting each cell first would give 0.0
  EXPECT_FALSE(m.present(2));

  Groups f = groups(ints({1, 1, 1, 2}), floats({1e100, 1.0, -1e100, none}));
  const auto fm = result<F64Col>(f.agg("v", Agg::Mean));
  EXPECT_EQ(fm.values[0], 1.0 / 3.0);
  EXPECT_FALSE(fm.present(1));
}

TEST_P(Paths, MinMaxKeepTheFirstOfEquals) {
  Groups g = groups(ints({1, 1, 2, 2, 3, 3, 4, 4, 5}), floats({nan, 1.0, 1.0, nan, 0.0, -0.0, -0.0, 0.0, none}));
  const auto mn = result<F64Col>(g.agg("v", Agg::Min));
  const auto mx = result<F64Col>(g.agg("v", Agg::Max));
  EXPECT_TRUE(std::isnan(mn.values[0]));
  EXPECT_TRUE(std::isnan(mx.values[0]));
  EXPECT_EQ(mn.values[1], 1.0);
  EXPECT_EQ(mx.values[1], 1.0);
  EXPECT_FALSE(std::signbit(mn.values[2]));
  EXPECT_FALSE(std::signbit(mx.values[2]));
  EXPECT_TRUE(std::signbit(mn.values[3]));
  EXPECT_TRUE(std::signbit(mx.values[3]));
  EXPECT_FALSE(mn.present(4));
  EXPECT_FALSE(mx.present(4));

  Groups i = groups(ints({1, 1, 1, 2}), ints({none, 4, -7, none}));
  EXPECT_EQ(result<I64Col>(i.agg("v", Agg::Min)).values[0], -7);
  EXPECT_EQ(result<I64Col>(i.agg("v", Agg::Max)).values[0], 4);
  EXPECT_FALSE(result<I64Col>(i.agg("v", Agg::Max)).present(1));
}

TEST_P(Paths, TextMinMaxCompareUnsignedBytes) {
  Groups g = groups(ints({1, 1, 1, 2, 2, 2, 3}), texts({"b", "B", "ab", "z", "\xc3\xa9", "a", none}));
  const auto mn = result<StrCol>(g.agg("v", Agg::Min));
  const auto mx = result<StrCol>(g.agg("v", Agg::Max));
  EXPECT_EQ(mn.at(0), "B");
  EXPECT_EQ(mx.at(0), "b");
  EXPECT_EQ(mn.at(1), "a");
  EXPECT_EQ(mx.at(1), "\xc3\xa9");
  EXPECT_FALSE(mn.present(2));
  EXPECT_FALSE(mx.present(2));
}

TEST(Aggregate, PickTakesTheEarliestOfEqualTexts) {
  StrCol c = texts({"ab", "a", none, "ab", "a"});
  const std::vector<std::uint32_t> rows{0, 1, 2, 3, 4};
  EXPECT_EQ(pick(rows, c, Agg::Min)->data(), c.at(1).data());
  EXPECT_EQ(pick(rows, c, Agg::Max)->data(), c.at(0).data());
  EXPECT_EQ(pick(std::vector<std::uint32_t>{2}, c, Agg::Min), std::nullopt);
  EXPECT_EQ(pick({}, c, Agg::Max), std::nullopt);
}

// A key cannot be replaced by an aggregate's column.
TEST(Aggregate, WithRefusesAKey) {
  Table t;
  ASSERT_TRUE(t.add("n", ints({1})));
  Groups g = t.group(Names{"n"}).value();
  EXPECT_EQ(g.with("n", I64Col{}).error(), "column \"n\" is a key of this grouping");
}

// Text extremes lay out the row lists after number aggregates have run from
// the ids alone; both, in either order, see the same groups.
TEST(Aggregate, TextExtremesAfterNumberAggregatesOnOneGrouping) {
  Table t;
  ASSERT_TRUE(t.add("k", ints({1, 2, 1, 3, 2, 1})));
  ASSERT_TRUE(t.add("v", ints({1, 2, 3, 4, 5, 6})));
  ASSERT_TRUE(t.add("s", texts({"b", std::nullopt, "a", "c", "z", "c"})));
  const Table v = t.over({5, 4, 3, 2, 1, 0});
  const Groups g = v.group(Names{"k"}).value();
  EXPECT_EQ(result<I64Col>(g.agg("v", Agg::Sum)).values, (std::vector<std::int64_t>{10, 7, 4}));
  const auto lo = result<StrCol>(g.agg("s", Agg::Min), "s");
  const auto hi = result<StrCol>(g.agg("s", Agg::Max), "s");
  EXPECT_EQ(lo.at(0), "a");
  EXPECT_EQ(lo.at(1), "z");
  EXPECT_EQ(lo.at(2), "c");
  EXPECT_EQ(hi.at(0), "c");
  EXPECT_EQ(hi.at(1), "z");
  EXPECT_EQ(result<I64Col>(g.agg("v", Agg::Max)).values, (std::vector<std::int64_t>{6, 5, 4}));
  EXPECT_EQ(std::get<I64Col>(*g.count().col("count").value()).values, (std::vector<std::int64_t>{3, 2, 1}));
  EXPECT_EQ(std::vector<std::uint32_t>(g.group(0).begin(), g.group(0).end()), (std::vector<std::uint32_t>{5, 2, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(g.group(1).begin(), g.group(1).end()), (std::vector<std::uint32_t>{4, 1}));
}

// A single group (no key, or one key value) runs over the view's positions
// with no ids and no row lists.
TEST(Aggregate, OneGroupOverAView) {
  Table t;
  ASSERT_TRUE(t.add("k", ints({7, 7, 7, 7})));
  ASSERT_TRUE(t.add("v", floats({1, 2, 4, 8})));
  ASSERT_TRUE(t.add("s", texts({"q", "x", "a", "m"})));
  const Table v = t.over({3, 1, 1});
  for (const Names& names : {Names{}, Names{"k"}}) {
    const Groups g = v.group(names).value();
    EXPECT_EQ(result<F64Col>(g.agg("v", Agg::Sum)).values, (std::vector<double>{12}));
    EXPECT_EQ(result<StrCol>(g.agg("s", Agg::Min), "s").at(0), "m");
    EXPECT_EQ(std::get<I64Col>(*g.count().col("count").value()).values, (std::vector<std::int64_t>{3}));
    EXPECT_EQ(std::vector<std::uint32_t>(g.group(0).begin(), g.group(0).end()), (std::vector<std::uint32_t>{3, 1, 1}));
  }
}

}  // namespace
}  // namespace kelo_frame
