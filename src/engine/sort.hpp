// Ordering row numbers by the cells of one column (the core of Table::sort).
//
// The order: present cells first, ascending or descending by value; missing
// cells last in both directions. The sort is stable: rows whose cells the
// order does not separate keep the order they were given in. Descending is
// the ascending comparison inverted, not the ascending result reversed.
//
// NaN cells of an f64 column have one fixed place in both directions: after
// every other present cell and before the missing cells. (IEEE comparison
// leaves NaN unordered, which is no order at all; this gives them a
// consistent one.) The two zeros are equal.
#pragma once

#include <cstdint>

#include "col.hpp"
#include "table.hpp"

namespace kelo_frame {

enum class SortMethod : std::uint8_t {
  Auto,     // the comparison sort for short inputs, the radix sort otherwise
  Radix,    // stable radix sort of order-preserving keys
  Compare,  // stable comparison sort reading the cells
};

// rows (row numbers into col's storage, in view order), stably reordered.
[[nodiscard]] RowIndex sort_rows(const Col& col, RowIndex rows, bool descending, SortMethod method = SortMethod::Auto);

}  // namespace kelo_frame
