#include <gtest/gtest.h>

#include "rowops_cols.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
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

// A plain reference: groups by an encoded key in a std::map, in first-
// appearance order.
std::vector<Rows> reference_groups(const Table& t, const Names& names) {
  std::map<std::string, std::size_t> seen;
  std::vector<Rows> out;
  for (std::uint64_t p = 0; p < t.height; ++p) {
    const std::uint32_t r = t.row(p);
    std::string key;
    for (const std::string& n : names) {
      const Col& c = *t.col(n).value();
      if (!present(c, r)) {
        key += "M;";
      } else if (const auto* s = std::get_if<StrCol>(&c)) {
        key += "S" + std::to_string(s->at(r).size()) + ":" + std::string(s->at(r)) + ";";
      } else if (const auto* f = std::get_if<F64Col>(&c)) {
        const double v = f->values[r] == 0.0 ? 0.0 : f->values[r];
        key += "F" + std::to_string(std::bit_cast<std::uint64_t>(v)) + ";";
      } else {
        key += "I" + std::to_string(std::get<I64Col>(c).values[r]) + ";";
      }
    }
    auto [it, fresh] = seen.try_emplace(key, out.size());
    if (fresh) out.emplace_back();
    out[it->second].push_back(r);
  }
  return out;
}

// Random tables: few distinct keys, and (in the last rounds) 70000 distinct
// int keys seen twice each, so the group ids widen past 8 and 16 bits; text
// keys of 0 to 40 bytes that differ in one byte (short ones are compared as
// words, long ones byte for byte); missing cells; views. The groups' sums
// read the same ids.
TEST(Group, MatchesAPlainReferenceOnRandomTables) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 42; ++round) {
    const bool big = round >= 40;
    const std::size_t n = big ? 140000 : rng() % 400;
    const std::uint64_t levels = 1 + rng() % 30;
    I64Col i, v;
    F64Col f;
    StrCol s;
    for (std::size_t r = 0; r < n; ++r) {
      const std::uint64_t x = rng();
      const auto key = big ? static_cast<std::int64_t>((r * 7919) % 70000) : static_cast<std::int64_t>(x % levels) - 3;
      (x % 11 == 0) ? i.push_missing() : i.push(key);
      (x % 13 == 0) ? f.push_missing() : f.push((x >> 8) % 3 == 0 ? -0.0 : static_cast<double>((x >> 8) % levels) / 2);
      std::string text((x >> 16) % 41, 'k');
      if (!text.empty() && (x >> 24) % 3 != 0) text[(x >> 32) % text.size()] = '\xff';
      (x % 7 == 0) ? s.push_missing() : s.push(text);
      v.push(static_cast<std::int64_t>(r));
    }
    Table t;
    ASSERT_TRUE(t.add("i", std::move(i)) && t.add("f", std::move(f)) && t.add("s", std::move(s)) &&
                t.add("v", std::move(v)));
    Table view = round % 2 == 0 ? t : t.tail(-static_cast<std::int64_t>(n / 3));
    for (const Names& names : {Names{"i"}, Names{"f"}, Names{"s"}, Names{"s", "i"}, Names{"f", "s", "i"}}) {
      auto g = view.group(names);
      ASSERT_TRUE(g);
      const std::vector<Rows> want = reference_groups(view, names);
      ASSERT_EQ(row_lists(*g), want) << "round " << round << " keys " << names.size();
      const auto sums = g->agg("v", Agg::Sum);
      ASSERT_TRUE(sums);
      const auto& got = std::get<I64Col>(*sums->col("v").value()).values;
      for (std::size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(got[k], std::accumulate(want[k].begin(), want[k].end(), std::int64_t{0})) << "group " << k;
      }
    }
  }
}

}  // namespace
}  // namespace kelo_frame
