// Sorting against a stable reference: every shape of input that takes its
// own path (already in order, in reverse order, all equal, few key bits, keys
// the sample did not see, texts with long shared prefixes or few distinct
// values), at the sizes around the insertion-sort, in-cache and split
// thresholds, from storage and through a row index, by every method.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/check.hpp"
#include "engine/sort.hpp"
#include "engine/table.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using namespace rowops_test;
using Rows = std::vector<std::uint32_t>;
template <class T>
using Cells = std::vector<std::optional<T>>;
template <class T>
using Make = std::function<T(std::size_t, std::mt19937_64&)>;

// Stable, in the order the sort fuzz target checks.
Rows reference(const Col& col, Rows order, bool descending) {
  std::ranges::stable_sort(order,
                           [&](std::uint32_t a, std::uint32_t b) { return fuzz::sorts_before(col, a, b, descending); });
  return order;
}

template <class T>
Col column_of(const Cells<T>& cells) {
  if constexpr (std::is_same_v<T, double>)
    return f64s(cells);
  else if constexpr (std::is_same_v<T, std::int64_t>)
    return i64s(cells);
  else
    return strs(cells);
}

// Sorts from storage (Table::sort without a row index) and through a row
// index of most rows in a scrambled order (Table::sort, and sort_rows by each
// method); both directions.
template <class T>
void check(const Cells<T>& cells, const std::string& what) {
  const Col col = column_of(cells);
  const Table t = table_of(col);
  Rows all(cells.size());
  std::iota(all.begin(), all.end(), 0U);
  Rows some = all;
  std::mt19937_64 rng(cells.size());
  std::shuffle(some.begin(), some.end(), rng);
  some.resize(some.size() - some.size() / 7);
  Rows ordered;
  for (const std::uint32_t r : all) {
    if (r % 7 != 3) ordered.push_back(r);
  }
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(what + ", n=" + std::to_string(cells.size()) + (descending ? " descending" : " ascending"));
    ASSERT_EQ(t.sort("x", descending).value().rows(), reference(col, all, descending)) << "from storage";
    const Rows want = reference(col, some, descending);
    ASSERT_EQ(t.over(some).sort("x", descending).value().rows(), want) << "through Table::sort";
    ASSERT_EQ(t.over(ordered).sort("x", descending).value().rows(), reference(col, ordered, descending))
        << "through an index in storage order";
    for (const SortMethod m : {SortMethod::Radix, SortMethod::Compare}) {
      if (m == SortMethod::Compare && cells.size() > 20000) continue;
      ASSERT_EQ(sort_rows(col, some, descending, m), want) << "method " << static_cast<int>(m);
    }
  }
}

// Cells made by make(i, rng), with a missing cell every `gap` cells (0: none).
template <class T>
Cells<T> make_cells(std::size_t n, std::size_t gap, const Make<T>& make) {
  std::mt19937_64 rng(n * 31 + gap);
  Cells<T> cells;
  for (std::size_t i = 0; i < n; ++i) {
    if (gap != 0 && rng() % gap == 0)
      cells.emplace_back(std::nullopt);
    else
      cells.emplace_back(make(i, rng));
  }
  return cells;
}

struct NumberShape {
  const char* name;
  Make<double> f64;
  Make<std::int64_t> i64;
};

const std::vector<NumberShape>& number_shapes() {
  using R = std::mt19937_64;
  static const std::vector<NumberShape> all{
      {"ascending with ties", [](std::size_t i, R&) { return static_cast<double>(i / 3) - 50.0; },
       [](std::size_t i, R&) { return static_cast<std::int64_t>(i / 3) - 50; }},
      {"descending with ties", [](std::size_t i, R&) { return -static_cast<double>(i / 4); },
       [](std::size_t i, R&) { return -static_cast<std::int64_t>(i / 4); }},
      {"all equal", [](std::size_t, R&) { return 2.5; }, [](std::size_t, R&) { return std::int64_t{-7}; }},
      {"few key bits", [](std::size_t, R& rng) { return static_cast<double>(rng() % 5); },
       [](std::size_t, R& rng) { return static_cast<std::int64_t>(rng() % 7) - 3; }},
      {"about 14 key bits", [](std::size_t, R& rng) { return static_cast<double>(rng() % 10000) / 8; },
       [](std::size_t, R& rng) { return static_cast<std::int64_t>(rng() % 12000); }},
      {"uniform", [](std::size_t, R& rng) { return std::uniform_real_distribution<double>(-1e4, 1e4)(rng); },
       [](std::size_t, R& rng) { return static_cast<std::int64_t>(rng() % (std::uint64_t{1} << 40)); }},
      // Any bits: NaN payloads of both signs, subnormals, infinities.
      {"any bits", [](std::size_t, R& rng) { return std::bit_cast<double>(rng()); },
       [](std::size_t, R& rng) { return static_cast<std::int64_t>(rng()); }},
      // Nearly all keys in a narrow cluster: the rare far keys fall outside
      // what the sample saw, and the cluster is crowded.
      {"clustered with outliers",
       [](std::size_t i, R& rng) {
         if (i % 9973 == 17) return i % 2 == 0 ? -1e300 : 1e300;
         return 1.0 + static_cast<double>(rng() % 64) * 1e-15;
       },
       [](std::size_t i, R& rng) {
         if (i % 9973 == 17) return i % 2 == 0 ? std::numeric_limits<std::int64_t>::min() : std::int64_t{1} << 62;
         return static_cast<std::int64_t>(rng() % 64) + (std::int64_t{1} << 40);
       }},
      // In order but for one value in 50 set to any value: set aside and
      // merged back. Aside values tie with kept ones (stability across the two).
      {"nearly in order",
       [](std::size_t i, R& rng) {
         return rng() % 50 == 0 ? static_cast<double>(rng() % 4000) / 4 : static_cast<double>(i / 3) / 4;
       },
       [](std::size_t i, R& rng) {
         return rng() % 50 == 0 ? static_cast<std::int64_t>(rng() % 40000) - 20000 : static_cast<std::int64_t>(i / 3);
       }},
      // Out of place in runs: two rising values far above their neighbours,
      // then one far below, so that setting aside pops more than one key.
      {"nearly in order, runs out of place",
       [](std::size_t i, R&) {
         const std::size_t at = i % 97;
         return at == 5 || at == 6 ? 1e6 + static_cast<double>(i) : at == 40 ? -1.0 : static_cast<double>(i);
       },
       [](std::size_t i, R&) {
         const std::size_t at = i % 97;
         const auto v = static_cast<std::int64_t>(i);
         return at == 5 || at == 6 ? v + 5000 : at == 40 ? v - 5000 : v;
       }},
      // One descent only, but half the keys out of place: given up as nearly
      // in order and sorted in full.
      {"two rising halves", [](std::size_t i, R&) { return static_cast<double>(i % 9000); },
       [](std::size_t i, R&) { return static_cast<std::int64_t>(i % 9000); }},
      // Values whose order needs the low bits: one mantissa apart.
      {"neighbouring values",
       [](std::size_t, R& rng) {
         return std::nextafter(1.0, 2.0 + static_cast<double>(rng() % 3)) * (rng() % 2 ? 1 : -1);
       },
       [](std::size_t, R& rng) { return (std::int64_t{1} << 50) + static_cast<std::int64_t>(rng() % 3); }},
  };
  return all;
}

// Short alphabets with NUL and high bytes, lengths around the 8-byte key and
// long shared prefixes, so that every way of resolving ties is used; a few
// long texts repeated; few distinct texts; many distinct ones.
const std::vector<std::pair<const char*, Make<std::string>>>& text_shapes() {
  using R = std::mt19937_64;
  static const std::vector<std::pair<const char*, Make<std::string>>> all{
      {"shared prefixes",
       [](std::size_t, R& rng) {
         static const std::string alphabet(
             "\0\x01"
             "ab\x7f\x80\xff",
             7);
         static const std::vector<std::string> prefixes{"", "abcdefgh", std::string(9, 'a'), std::string(40, 'z'),
                                                        "abc"};
         std::string s = prefixes[rng() % prefixes.size()];
         for (std::size_t j = rng() % 20; j > 0; --j) s += alphabet[rng() % (rng() % 2 ? 2 : alphabet.size())];
         return s;
       }},
      {"few long texts",
       [](std::size_t, R& rng) {
         static const std::vector<std::string> names{"San Francisco",
                                                     "San Jose",
                                                     "Santa Barbara",
                                                     "Santa Barbarb",
                                                     std::string(100, 'x'),
                                                     std::string(100, 'x') + "y",
                                                     "S"};
         return names[rng() % names.size()];
       }},
      {"few distinct", [](std::size_t, R& rng) { return "city " + std::to_string(rng() % 300); }},
      // Nearly in order one way or the other, sharing a long prefix, with
      // ties (kept and set aside) and one text in 40 set to any number.
      {"nearly in order",
       [](std::size_t i, R& rng) {
         const std::size_t v = rng() % 40 == 0 ? rng() % 100000 : i / 2;
         return "row" + std::string(10 - std::to_string(v).size(), '0') + std::to_string(v);
       }},
      {"nearly in reverse order",
       [](std::size_t i, R& rng) {
         const std::string v = std::to_string(rng() % 40 == 0 ? rng() % 1000 : 1000 - i % 1000);
         return std::string(4 - v.size(), '0') + v + std::string(i % 3, '\0');
       }},
      // At most 16 byte values: keyed by rank. Trailing least bytes ("1",
      // "10", "100") pad like the end of a text and must follow it by length;
      // texts longer than the 16 ranked bytes tie on them.
      {"two digits",
       [](std::size_t, R& rng) {
         std::string s(rng() % 20, '0');
         for (char& c : s) c = rng() % 3 == 0 ? '1' : '0';
         return s;
       }},
      {"hex digits",
       [](std::size_t, R& rng) {
         std::string s(rng() % 22, ' ');
         for (char& c : s) c = "0123456789abcdef"[rng() % 16];
         return s;
       }},
      // One text in 30,000 holds a byte the sample is unlikely to meet, within
      // the ranked bytes or after them; NUL, which pads no text here, too.
      {"hex digits, rare other byte",
       [](std::size_t, R& rng) {
         std::string s(12 + rng() % 8, ' ');
         for (char& c : s) c = "0123456789abcdef"[rng() % 16];
         if (rng() % 30000 == 0) s[rng() % s.size()] = rng() % 2 ? 'G' : '\0';
         return s;
       }},
      {"many distinct",
       [](std::size_t, R& rng) { return "note " + std::to_string(rng() % 1000000) + std::string(rng() % 3, '\0'); }},
  };
  return all;
}

class Sort : public testing::TestWithParam<std::size_t> {};

TEST_P(Sort, EveryShapeAgreesWithReference) {
  const std::size_t n = GetParam();
  for (const std::size_t gap : {std::size_t{0}, std::size_t{20}}) {
    const std::string missing = gap != 0 ? ", with missing cells" : "";
    for (const NumberShape& shape : number_shapes()) {
      check(make_cells<double>(n, gap, shape.f64), std::string("f64 ") + shape.name + missing);
      check(make_cells<std::int64_t>(n, gap, shape.i64), std::string("i64 ") + shape.name + missing);
    }
    for (const auto& [name, make] : text_shapes()) check(make_cells<std::string>(n, gap, make), name + missing);
  }
}

TEST_P(Sort, FloatSpecialsAndManyMissingCells) {
  const std::size_t n = GetParam();
  const std::vector<double> special = special_doubles();
  // Mostly specials, a third missing: the zeros must tie, NaN go after every
  // value and before the missing cells, in both directions.
  check(make_cells<double>(n, 3,
                           [&special](std::size_t, std::mt19937_64& rng) {
                             return rng() % 4 == 0 ? std::uniform_real_distribution<double>(-1, 1)(rng)
                                                   : special[rng() % special.size()];
                           }),
        "f64 specials");
  check(make_cells<double>(n, 2, [](std::size_t, std::mt19937_64&) { return std::nan(""); }), "f64 only NaN");
  check(Cells<double>(n, std::nullopt), "only missing cells");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Sort,
                         testing::Values(0, 1, 2, 3, 23, 24, 25, 63, 64, 65, 300, 1000, 20000, 65537, 160000));

// The scan reads keys four at a time while they are in order, with the range
// in four running values: one key out of order at any place, the first and
// the last included, must end the run there, and a key beyond every other
// must widen the range whichever of the four it falls to. (Sizes from 64 up:
// smaller inputs take the comparison sort.)
TEST(Sort, OneKeyOutOfOrderAnywhere) {
  for (const std::size_t n : {std::size_t{64}, std::size_t{65}, std::size_t{66}, std::size_t{67}}) {
    for (std::size_t at = 0; at < n; ++at) {
      for (const bool rising : {true, false}) {
        Cells<std::int64_t> cells;
        for (std::size_t i = 0; i < n; ++i) {
          const auto v = static_cast<std::int64_t>(i) * 2;
          cells.emplace_back(rising ? v : -v);
        }
        const std::int64_t near = rising ? (at == 0 ? 1 : *cells[at] - 3) : (at == 0 ? -1 : *cells[at - 1] + 1);
        for (const std::int64_t odd : {near, std::int64_t{1} << 40, -(std::int64_t{1} << 40)}) {
          Cells<std::int64_t> one = cells;
          one[at] = odd;
          const std::string what =
              std::string(rising ? "rising" : "falling") + ", " + std::to_string(odd) + " at " + std::to_string(at);
          check(one, what);
          // The same after the run has ended at the start (its first two
          // keys swapped): the range is then kept while the rest is read.
          if (at < 2) continue;
          std::swap(one[0], one[1]);
          check(one, what + ", first two swapped");
        }
      }
    }
  }
}

// The scan folds most keys into their range in four lanes: a key far below
// or above every other, at each of four neighbouring places (one a lane),
// with and without missing cells, must still be ordered (items hold the key
// less the least). Large enough inputs are also split.
TEST(Sort, OneFarKeyAnywhereAmongMany) {
  for (const std::size_t n : {std::size_t{1000}, std::size_t{200000}}) {
    for (const std::size_t gap : {std::size_t{0}, std::size_t{20}}) {
      for (const std::size_t at : {std::size_t{130}, n / 2, n / 2 + 1, n / 2 + 2, n / 2 + 3}) {
        for (const std::int64_t far : {std::int64_t{1} << 62, -(std::int64_t{1} << 62)}) {
          Cells<std::int64_t> cells = make_cells<std::int64_t>(
              n, gap, [](std::size_t, std::mt19937_64& rng) { return static_cast<std::int64_t>(rng() % 5000); });
          cells[at] = far;
          check(cells, "far key " + std::to_string(far) + " at " + std::to_string(at) +
                           (gap != 0 ? ", with missing cells" : ""));
        }
      }
    }
  }
}

TEST(Sort, InOrderInputsKeepOrMakeNoRowIndex) {
  for (const std::size_t n : {std::size_t{100}, std::size_t{200000}}) {
    Cells<std::int64_t> up;
    for (std::size_t i = 0; i < n; ++i) up.emplace_back(static_cast<std::int64_t>(i / 2));
    const Table t = table_of(i64s(up));
    EXPECT_FALSE(t.sort("x", false).value().index) << n;
    // Descending and then ascending hands storage order back: no row index.
    const Table down = t.sort("x", true).value();
    ASSERT_TRUE(down.index) << n;
    EXPECT_FALSE(down.sort("x", false).value().index) << n;
    // Sorting a view that is already in order gives the same rows.
    const Table again = down.sort("x", true).value();
    ASSERT_TRUE(again.index);
    EXPECT_EQ(*again.index, *down.index) << n;
    // A missing cell at the end of ordered cells still makes an index-free
    // table only when nothing moves.
    Cells<std::int64_t> gapped = up;
    gapped.back() = std::nullopt;
    EXPECT_FALSE(table_of(i64s(gapped)).sort("x", false).value().index) << n;
    gapped.front() = std::nullopt;
    EXPECT_TRUE(table_of(i64s(gapped)).sort("x", false).value().index) << n;
  }
}

}  // namespace
}  // namespace kelo_frame
