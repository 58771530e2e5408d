#include <gtest/gtest.h>

#include "cells.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/groups.hpp"
#include "engine/key_store.hpp"

namespace kelo_frame {
namespace {

using Rows = std::vector<std::uint32_t>;
using Names = std::vector<std::string>;
constexpr auto none = std::nullopt;

using test_cells::floats;
using test_cells::ints;
using test_cells::texts;

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

TEST(Group, IntKeysWithMissingAndManyGroups) {
  Table t;
  I64Col c;
  // 3000 distinct keys (the map grows several times), each seen twice, and
  // a missing cell in the middle; the missing group is not the 0 group.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::int64_t v = 0; v < 3000; ++v) c.push((v * 7919) % 3000);
    if (pass == 0) c.push_missing();
  }
  ASSERT_TRUE(t.add("k", std::move(c)));
  auto g = t.group(Names{"k"});
  ASSERT_TRUE(g);
  ASSERT_EQ(g->size(), 3001U);
  const auto lists = row_lists(*g);
  for (std::uint32_t i = 0; i < 3000; ++i) EXPECT_EQ(lists[i], (Rows{i, i + 3001}));
  EXPECT_EQ(lists[3000], (Rows{3000}));
}

TEST(Group, FloatKeysJoinZerosAndSameNaNs) {
  const double nan1 = std::bit_cast<double>(0x7ff8000000000001ULL);
  const double nan2 = std::bit_cast<double>(0x7ff8000000000002ULL);
  Table t;
  ASSERT_TRUE(t.add("k", floats({-0.0, nan1, 0.0, nan2, nan1, none, 1.5})));
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
  ASSERT_TRUE(t.add("i", ints({none, 0, none, 0})));
  const std::string zeros("\0\0\0\0\0\0\0x", 8);
  ASSERT_TRUE(t.add("s", texts({zeros, "x", zeros, "x"})));
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
  ASSERT_TRUE(t.add("i", ints({none, same_probe, none, same_probe, 0})));
  auto g = t.group(Names{"i"});
  ASSERT_TRUE(g);
  EXPECT_EQ(row_lists(*g), (std::vector<Rows>{{0, 2}, {1, 3}, {4}}));
}

TEST(Group, TextKeysOfEveryLengthCompareEveryByte) {
  // Keys of 0 to 40 bytes that differ in one byte only, at the start, the
  // middle or the end, each seen twice: short keys are compared as words,
  // long ones byte for byte.
  StrCol c;
  std::vector<std::string> keys;
  for (std::size_t len = 0; len <= 40; ++len) {
    const std::string base(len, 'k');
    keys.push_back(base);
    for (std::size_t at : {std::size_t{0}, len / 2, len - 1}) {
      if (len == 0) break;
      std::string k = base;
      k[at] = '\xff';
      if (std::ranges::find(keys, k) == keys.end()) keys.push_back(k);
    }
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& k : keys) c.push(k);
  }
  I64Col zero;
  zero.values.assign(keys.size() * 2, 0);
  Table t;
  ASSERT_TRUE(t.add("k", std::move(c)));
  ASSERT_TRUE(t.add("z", std::move(zero)));
  // One str key, and the same with a constant second key (the general path).
  for (const Names& names : {Names{"k"}, Names{"k", "z"}}) {
    auto g = t.group(names);
    ASSERT_TRUE(g);
    ASSERT_EQ(g->size(), keys.size());
    const auto lists = row_lists(*g);
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(lists[i], (Rows{i, static_cast<std::uint32_t>(i + keys.size())})) << keys[i].size();
    }
  }
}

TEST(Group, IdsWidenPastEightAndSixteenBits) {
  // 70000 keys, each seen twice; aggregates read the widened ids.
  constexpr std::int64_t keys = 70000;
  I64Col k;
  I64Col v;
  for (std::int64_t i = 0; i < 2 * keys; ++i) {
    k.push((i % keys) * 7 - 3);
    v.push(i);
  }
  Table t;
  ASSERT_TRUE(t.add("k", std::move(k)));
  ASSERT_TRUE(t.add("v", std::move(v)));
  auto g = t.group(Names{"k"});
  ASSERT_TRUE(g);
  ASSERT_EQ(g->size(), std::uint64_t{keys});
  EXPECT_EQ(g->ids.size(), std::size_t{2 * keys});
  auto sums = g->agg("v", Agg::Sum);
  ASSERT_TRUE(sums);
  const auto& s = std::get<I64Col>(*sums->col("v").value());
  for (std::int64_t i = 0; i < keys; i += 997) EXPECT_EQ(s.values[i], 2 * i + keys);
  const auto& key = std::get<I64Col>(*sums->col("k").value());
  EXPECT_EQ(key.values[keys - 1], (keys - 1) * 7 - 3);
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

TEST(Group, MatchesAPlainReferenceOnRandomTables) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 40; ++round) {
    const std::size_t n = rng() % 400;
    const std::uint64_t levels = 1 + rng() % 30;
    I64Col i;
    F64Col f;
    StrCol s;
    for (std::size_t r = 0; r < n; ++r) {
      const std::uint64_t x = rng();
      (x % 11 == 0) ? i.push_missing() : i.push(static_cast<std::int64_t>(x % levels) - 3);
      (x % 13 == 0) ? f.push_missing() : f.push((x >> 8) % 3 == 0 ? -0.0 : static_cast<double>((x >> 8) % levels) / 2);
      (x % 7 == 0) ? s.push_missing() : s.push(std::string((x >> 16) % levels, 'z'));
    }
    Table t;
    ASSERT_TRUE(t.add("i", std::move(i)));
    ASSERT_TRUE(t.add("f", std::move(f)));
    ASSERT_TRUE(t.add("s", std::move(s)));
    Table v = round % 2 == 0 ? t : t.tail(-static_cast<std::int64_t>(n / 3));
    for (const Names& names : {Names{"i"}, Names{"f"}, Names{"s"}, Names{"s", "i"}, Names{"f", "s", "i"}}) {
      auto g = v.group(names);
      ASSERT_TRUE(g);
      EXPECT_EQ(row_lists(*g), reference_groups(v, names)) << "round " << round << " keys " << names.size();
    }
  }
}

}  // namespace
}  // namespace kelo_frame
