#include <gtest/gtest.h>

#include "rowops_cols.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/groups.hpp"

namespace kelo_frame {
namespace {

using Names = std::vector<std::string>;
constexpr auto none = std::nullopt;
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

using rowops_test::f64s;
using rowops_test::i64s;
using rowops_test::strs;

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

// An aggregation's result (or its message) as text, floats by their bits.
std::string shown(const Result<Table>& t) {
  if (!t) return "error: " + t.error();
  std::string out;
  for (const Column& c : t->columns) {
    out += c.name + ":";
    for (std::uint64_t r = 0; r < t->height; ++r) {
      if (!present(*c.col, r)) {
        out += " _";
      } else if (const auto* f = std::get_if<F64Col>(c.col.get())) {
        // A NaN's sign depends on how the compiler ordered an addition's operands.
        const double v = f->values[r];
        out += std::isnan(v) ? " nan" : " " + std::to_string(std::bit_cast<std::uint64_t>(v));
      } else if (const auto* i = std::get_if<I64Col>(c.col.get())) {
        out += " " + std::to_string(i->values[r]);
      } else {
        out += " '" + std::string(std::get<StrCol>(*c.col).at(r)) + "'";
      }
    }
    out += "\n";
  }
  return out;
}

// Python checks what each aggregate gives, through the ids; walking the row
// lists instead must give the same cells and messages: signed zeros, NaNs,
// compensation, overflow, first of equals, missing cells and empty groups.
TEST(Aggregate, RowListsGiveWhatIdsGive) {
  std::mt19937_64 rng(8);
  const double pool[] = {0.0, -0.0, nan, inf, -inf, 1e308, 1e100, -1e100, 1.0, 0.1, 2.5};
  const std::int64_t ints_pool[] = {0, 1, -1, 7, i64_max, std::numeric_limits<std::int64_t>::min(), 1 << 20};
  const char* texts_pool[] = {"", "a", "B", "ab", "\xc3\xa9", "b"};
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = rng() % 200;
    I64Col k, i;
    F64Col f;
    StrCol s;
    const bool overflow = round % 4 == 0;
    for (std::size_t r = 0; r < n; ++r) {
      rng() % 9 == 0 ? k.push_missing() : k.push(static_cast<std::int64_t>(rng() % 7));
      rng() % 5 == 0 ? i.push_missing() : i.push(overflow ? ints_pool[rng() % 7] : ints_pool[rng() % 4]);
      rng() % 5 == 0 ? f.push_missing() : f.push(pool[rng() % std::size(pool)]);
      rng() % 5 == 0 ? s.push_missing() : s.push(texts_pool[rng() % std::size(texts_pool)]);
    }
    Table t;
    ASSERT_TRUE(t.add("k", std::move(k)) && t.add("i", std::move(i)) && t.add("f", std::move(f)) &&
                t.add("s", std::move(s)));
    const Groups ids = t.group(Names{"k"}).value();
    const Groups lists = without_ids(ids);
    for (const char* name : {"i", "f", "s"}) {
      for (const Agg op : {Agg::Sum, Agg::Mean, Agg::Min, Agg::Max}) {
        ASSERT_EQ(shown(lists.agg(name, op)), shown(ids.agg(name, op))) << name << " round " << round;
      }
    }
  }
}

TEST(Aggregate, PickTakesTheEarliestOfEqualTexts) {
  StrCol c = strs({"ab", "a", none, "ab", "a"});
  const std::vector<std::uint32_t> rows{0, 1, 2, 3, 4};
  EXPECT_EQ(pick(rows, c, Agg::Min)->data(), c.at(1).data());
  EXPECT_EQ(pick(rows, c, Agg::Max)->data(), c.at(0).data());
  EXPECT_EQ(pick(std::vector<std::uint32_t>{2}, c, Agg::Min), std::nullopt);
  EXPECT_EQ(pick({}, c, Agg::Max), std::nullopt);
}

// Text extremes lay out the row lists after number aggregates have run from
// the ids alone; both, in either order, see the same groups.
TEST(Aggregate, TextExtremesAfterNumberAggregatesOnOneGrouping) {
  Table t;
  ASSERT_TRUE(t.add("k", i64s({1, 2, 1, 3, 2, 1})));
  ASSERT_TRUE(t.add("v", i64s({1, 2, 3, 4, 5, 6})));
  ASSERT_TRUE(t.add("s", strs({"b", std::nullopt, "a", "c", "z", "c"})));
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
  ASSERT_TRUE(t.add("k", i64s({7, 7, 7, 7})));
  ASSERT_TRUE(t.add("v", f64s({1, 2, 4, 8})));
  ASSERT_TRUE(t.add("s", strs({"q", "x", "a", "m"})));
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
