#include <gtest/gtest.h>

#include "rowops_cols.hpp"

#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine/groups.hpp"
#include "engine/short_text.hpp"

namespace kelo_frame {
namespace {

using Rows = std::vector<std::uint32_t>;
using Names = std::vector<std::string>;
constexpr auto none = std::nullopt;

using rowops_test::f64s;
using rowops_test::i64s;
using rowops_test::strs;

std::vector<Rows> row_lists(const Groups& g) {
  std::vector<Rows> out;
  for (std::uint64_t i = 0; i < g.size(); ++i) out.emplace_back(g.group(i).begin(), g.group(i).end());
  return out;
}

TEST(GroupKeys, ShortTextWordsTellEqualLengthTextsApart) {
  // Every text of length 0 to 16 over {a, b} that differs from a base text in
  // one or two bytes: the words differ exactly when the texts do. Grouping
  // only reaches this comparison for texts of equal 64-bit hash, so it is
  // checked here directly.
  for (std::size_t n = 0; n <= ShortText::max; ++n) {
    const std::string base(n, 'a');
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i; j < n; ++j) {
        std::string other = base;
        other[i] = 'b';
        other[j] = 'b';
        EXPECT_NE(ShortText::of(base), ShortText::of(other)) << n << " " << i << " " << j;
        EXPECT_EQ(ShortText::of(other), ShortText::of(std::string(other))) << n;
      }
    }
  }
}

TEST(Group, FloatKeysJoinZerosAndSameNaNs) {
  const double nan1 = std::bit_cast<double>(0x7ff8000000000001ULL);
  const double nan2 = std::bit_cast<double>(0x7ff8000000000002ULL);
  Table t;
  ASSERT_TRUE(t.add("k", f64s({-0.0, nan1, 0.0, nan2, nan1, none, 1.5})));
  auto g = t.group(Names{"k"});
  ASSERT_TRUE(g);
  EXPECT_EQ(row_lists(*g), (std::vector<Rows>{{0, 2}, {1, 4}, {3}, {5}, {6}}));
  Table keys = g->key_table();
  const auto& k = std::get<F64Col>(*keys.col("k").value());
  EXPECT_TRUE(std::signbit(k.values[0]));  // the group's first row was -0.0
  EXPECT_EQ(std::bit_cast<std::uint64_t>(k.values[2]), 0x7ff8000000000002ULL);
}

TEST(Group, KeysWhoseBytesRunTogetherStayApart) {
  // (missing, "\0\0\0\0\0\0\0x") and (0, "x") are the same bytes written one
  // after the other (eight 0x00, then 'x'); the keys differ column by column.
  Table t;
  ASSERT_TRUE(t.add("i", i64s({none, 0, none, 0})));
  const std::string zeros("\0\0\0\0\0\0\0x", 8);
  ASSERT_TRUE(t.add("s", strs({zeros, "x", zeros, "x"})));
  auto g = t.group(Names{"i", "s"});
  ASSERT_TRUE(g);
  EXPECT_EQ(row_lists(*g), (std::vector<Rows>{{0, 2}, {1, 3}}));
}

TEST(Group, AMissingNumberKeyStaysApartFromTheValueWithItsProbe) {
  // One number key column probes the map with its bits folded (x ^ x >> 32);
  // a missing key probes with 0x5555555555555555, which is the fold of
  // 0x5555555500000000. (The 0 spreads the keys too far for a direct table.)
  Table t;
  const std::int64_t same_probe = 0x5555555500000000;
  ASSERT_TRUE(t.add("i", i64s({none, same_probe, none, same_probe, 0})));
  auto g = t.group(Names{"i"});
  ASSERT_TRUE(g);
  EXPECT_EQ(row_lists(*g), (std::vector<Rows>{{0, 2}, {1, 3}, {4}}));
}

// Past 4096 groups the row lists are laid out in two passes: by the high bits
// of the group id, then by its low 8 bits.
TEST(Group, RowListsOfManyGroups) {
  I64Col k;
  for (std::int64_t r = 0; r < 15000; ++r) k.push(r % 5000);
  Table t;
  ASSERT_TRUE(t.add("k", std::move(k)));
  const Groups g = t.group(Names{"k"}).value();
  const std::vector<Rows> lists = row_lists(g);
  ASSERT_EQ(lists.size(), 5000U);
  for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(lists[i], (Rows{i, i + 5000, i + 10000})) << i;
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

// Text extremes lay out the row lists after number aggregates have run from
// the ids alone; both, in either order, see the same groups.
TEST(Aggregate, TextExtremesAfterNumberAggregatesOnOneGrouping) {
  Table t;
  ASSERT_TRUE(t.add("k", i64s({1, 2, 1, 3, 2, 1})));
  ASSERT_TRUE(t.add("v", i64s({1, 2, 3, 4, 5, 6})));
  ASSERT_TRUE(t.add("s", strs({"b", std::nullopt, "a", "c", "z", "c"})));
  const Table v = t.over({5, 4, 3, 2, 1, 0});
  const Groups g = v.group(Names{"k"}).value();
  EXPECT_EQ(shown(g.agg("v", Agg::Sum)), "k: 1 2 3\nv: 10 7 4\n");
  EXPECT_EQ(shown(g.agg("s", Agg::Min)), "k: 1 2 3\ns: 'a' 'z' 'c'\n");
  EXPECT_EQ(shown(g.agg("s", Agg::Max)), "k: 1 2 3\ns: 'c' 'z' 'c'\n");
  EXPECT_EQ(shown(g.agg("v", Agg::Max)), "k: 1 2 3\nv: 6 5 4\n");
  EXPECT_EQ(shown(g.count()), "k: 1 2 3\ncount: 3 2 1\n");
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
    const std::string key = names.empty() ? "" : "k: 7\n";
    EXPECT_EQ(shown(g.agg("v", Agg::Sum)), key + "v: " + std::to_string(std::bit_cast<std::uint64_t>(12.0)) + "\n");
    EXPECT_EQ(shown(g.agg("s", Agg::Min)), key + "s: 'm'\n");
    EXPECT_EQ(shown(g.count()), key + "count: 3\n");
    EXPECT_EQ(std::vector<std::uint32_t>(g.group(0).begin(), g.group(0).end()), (std::vector<std::uint32_t>{3, 1, 1}));
  }
}

}  // namespace
}  // namespace kelo_frame
