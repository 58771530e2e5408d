// Sorting numbers by radix: the shapes of input that take their own path
// (already in order, in reverse order, all equal, few key bits, keys the
// sample did not see, sizes around the split and the in-cache thresholds),
// read straight from storage and through a row index, against a stable
// reference sort.
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

#include "engine/sort.hpp"
#include "engine/table.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using namespace rowops_test;
using Rows = std::vector<std::uint32_t>;
template <class T>
using Cells = std::vector<std::optional<T>>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Present cells first in the order asked for (NaN after every other value in
// both directions, the two zeros equal), then missing cells; ties keep the
// order of `order`.
template <class T>
Rows reference(const Cells<T>& cells, const Rows& order, bool descending) {
  const auto rank = [](const std::optional<T>& c) {
    if (!c) return 2;
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(*c)) return 1;
    }
    return 0;
  };
  Rows out = order;
  std::stable_sort(out.begin(), out.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int ra = rank(cells[a]);
    const int rb = rank(cells[b]);
    if (ra != rb) return ra < rb;
    if (ra != 0) return false;
    return descending ? *cells[b] < *cells[a] : *cells[a] < *cells[b];
  });
  return out;
}

template <class T>
Col column_of(const Cells<T>& cells) {
  if constexpr (std::is_same_v<T, double>)
    return f64s(cells);
  else
    return i64s(cells);
}

// Sorts cells from storage (Table::sort without a row index) and through a
// row index (every row but a few, in a scrambled order), both directions,
// and compares with the reference.
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
  for (const bool descending : {false, true}) {
    ASSERT_EQ(rows_of(t.sort("x", descending).value()), reference(cells, all, descending))
        << what << " from storage, n=" << cells.size() << " descending=" << descending;
    ASSERT_EQ(sort_rows(col, some, descending, SortMethod::Radix), reference(cells, some, descending))
        << what << " through an index, n=" << cells.size() << " descending=" << descending;
  }
}

// The sizes around the thresholds: the insertion sort's runs, the comparison
// sort for short inputs, in-cache inputs of 8- and 16-byte items, and inputs
// large enough to be split through memory, from storage and (with a seventh
// of the rows left out) through a row index.
const std::vector<std::size_t> sizes{0, 1, 2, 23, 24, 25, 63, 64, 65, 1000, 65537, 160000};

// Cells made by make(i, rng), with a missing cell every `gap` cells (0: none).
template <class T>
Cells<T> make_cells(std::size_t n, std::size_t gap, const std::function<T(std::size_t, std::mt19937_64&)>& make) {
  std::mt19937_64 rng(n * 31 + gap);
  Cells<T> cells;
  cells.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (gap != 0 && rng() % gap == 0)
      cells.emplace_back(std::nullopt);
    else
      cells.emplace_back(make(i, rng));
  }
  return cells;
}

struct Shape {
  const char* name;
  std::function<double(std::size_t, std::mt19937_64&)> f64;
  std::function<std::int64_t(std::size_t, std::mt19937_64&)> i64;
};

const std::vector<Shape>& shapes() {
  static const std::vector<Shape> all{
      {"ascending with ties", [](std::size_t i, auto&) { return static_cast<double>(i / 3) - 50.0; },
       [](std::size_t i, auto&) { return static_cast<std::int64_t>(i / 3) - 50; }},
      {"descending with ties", [](std::size_t i, auto&) { return -static_cast<double>(i / 4); },
       [](std::size_t i, auto&) { return -static_cast<std::int64_t>(i / 4); }},
      {"all equal", [](std::size_t, auto&) { return 2.5; }, [](std::size_t, auto&) { return std::int64_t{-7}; }},
      {"few key bits", [](std::size_t, auto& rng) { return static_cast<double>(rng() % 5); },
       [](std::size_t, auto& rng) { return static_cast<std::int64_t>(rng() % 2000) - 1000; }},
      {"about 14 key bits", [](std::size_t, auto& rng) { return static_cast<double>(rng() % 10000) / 8; },
       [](std::size_t, auto& rng) { return static_cast<std::int64_t>(rng() % 12000); }},
      {"uniform", [](std::size_t, auto& rng) { return std::uniform_real_distribution<double>(-1e4, 1e4)(rng); },
       [](std::size_t, auto& rng) { return static_cast<std::int64_t>(rng() % 1000000000000); }},
      {"any bits",
       [](std::size_t, auto& rng) {
         const double v = std::bit_cast<double>(rng());
         return std::isnan(v) ? 0.0 : v;
       },
       [](std::size_t, auto& rng) { return static_cast<std::int64_t>(rng()); }},
      // Nearly all keys in a narrow cluster: the rare far keys fall outside
      // what the sample saw, and the cluster is crowded.
      {"clustered with outliers",
       [](std::size_t i, auto& rng) {
         if (i % 9973 == 17) return i % 2 == 0 ? -1e300 : 1e300;
         return 1.0 + static_cast<double>(rng() % 64) * 1e-15;
       },
       [](std::size_t i, auto& rng) {
         if (i % 9973 == 17) return i % 2 == 0 ? std::numeric_limits<std::int64_t>::min() : std::int64_t{1} << 62;
         return static_cast<std::int64_t>(rng() % 64) + (std::int64_t{1} << 40);
       }},
      // Values whose order needs the low bits: one mantissa apart.
      {"neighbouring doubles",
       [](std::size_t, auto& rng) {
         return std::nextafter(1.0, 2.0 + static_cast<double>(rng() % 3)) * (rng() % 2 ? 1 : -1);
       },
       [](std::size_t, auto& rng) { return (std::int64_t{1} << 50) + static_cast<std::int64_t>(rng() % 3); }},
  };
  return all;
}

class SortKeys : public testing::TestWithParam<std::size_t> {};

TEST_P(SortKeys, NumbersOfEveryShapeAgreeWithReference) {
  const std::size_t n = GetParam();
  for (const Shape& shape : shapes()) {
    for (const std::size_t gap : {std::size_t{0}, std::size_t{20}}) {
      const std::string what = std::string(shape.name) + (gap != 0 ? ", with missing cells" : "");
      check(make_cells<double>(n, gap, shape.f64), "f64 " + what);
      check(make_cells<std::int64_t>(n, gap, shape.i64), "i64 " + what);
    }
  }
}

TEST_P(SortKeys, FloatSpecialsAndManyMissingCells) {
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
  // Every cell NaN or missing.
  check(make_cells<double>(n, 2, [](std::size_t, std::mt19937_64&) { return nan; }), "f64 only NaN");
}

INSTANTIATE_TEST_SUITE_P(Sizes, SortKeys, testing::ValuesIn(sizes));

TEST(SortKeys, OnlyMissingCellsKeepTheirOrder) {
  const Table t = table_of(f64s(Cells<double>(300, std::nullopt)));
  Rows all(300);
  std::iota(all.begin(), all.end(), 0U);
  EXPECT_EQ(rows_of(t.sort("x", true).value()), all);
}

TEST(SortKeys, InOrderInputsKeepOrMakeNoRowIndex) {
  for (const std::size_t n : {std::size_t{100}, std::size_t{200000}}) {
    Cells<std::int64_t> up;
    for (std::size_t i = 0; i < n; ++i) up.emplace_back(static_cast<std::int64_t>(i / 2));
    const Table t = table_of(i64s(up));
    EXPECT_FALSE(t.sort("x", false).value().index) << n;
    const Table down = t.sort("x", true).value();
    ASSERT_TRUE(down.index) << n;
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
