// The write/read round trip of one table, checked cell by cell. Writing and
// reading do not meet in exactly these cases, which the check allows for:
//   - a column holding NaN or +inf comes back as "str", holding the texts
//     repr::float_ gives for its cells;
//   - a column with no present cell comes back as "i64", all missing;
//   - in a table of one column a row whose cell is missing is lost;
//   - a table without columns is written as line ends only, which the reader
//     refuses with "no header line".
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "check.hpp"
#include "csv/read.hpp"
#include "csv/write.hpp"
#include "repr/float.hpp"

namespace kelo_frame::fuzz {

// What a column of the written table reads back as.
inline Col expected_back(const Col& col) {
  bool any_present = false;
  bool nan_or_inf = false;
  const std::size_t n = kelo_frame::storage_length(col);
  for (std::size_t r = 0; r < n; ++r) {
    if (!kelo_frame::present(col, r)) continue;
    any_present = true;
    if (const auto* f = std::get_if<F64Col>(&col)) {
      const double v = f->values[r];
      nan_or_inf |= std::isnan(v) || v == INFINITY;
    }
  }
  if (!any_present) {
    I64Col missing;
    for (std::size_t r = 0; r < n; ++r) missing.push_missing();
    return missing;
  }
  if (!nan_or_inf) return col;
  const auto& f = std::get<F64Col>(col);
  StrCol texts;
  for (std::size_t r = 0; r < n; ++r) {
    if (f.present(r)) {
      texts.push(kelo_frame::repr::float_(f.values[r]));
    } else {
      texts.push_missing();
    }
  }
  return texts;
}

inline void round_trip(const Table& t) {
  const std::string text = kelo_frame::csv::write(t);
  const auto back = kelo_frame::csv::read(text);
  if (t.columns.empty()) {
    check(!back && back.error() == "no header line", "a table without columns read back", text);
    return;
  }
  check(back.has_value(), "the written text does not read back", back ? "" : back.error());
  kelo_frame::fuzz::check_invariants(*back);
  check(back->names() == t.names(), "names change in the round trip");
  // The positions that survive: all of them, or in a one-column table those
  // whose cell is present.
  RowIndex kept;
  for (std::uint64_t p = 0; p < t.height; ++p) {
    if (t.columns.size() != 1 || kelo_frame::present(*t.columns[0].col, t.row(p))) kept.push_back(t.row(p));
  }
  check(back->height == kept.size(), "row count changes in the round trip");
  for (std::size_t c = 0; c < t.columns.size(); ++c) {
    const Col want = expected_back(kelo_frame::gather(*t.columns[c].col, kept));
    const Col& got = *back->columns[c].col;
    check(got.index() == want.index(), "dtype changes in the round trip", t.columns[c].name);
    for (std::size_t r = 0; r < kept.size(); ++r) {
      check(kelo_frame::fuzz::same_cell(got, r, want, r), "a cell changes in the round trip",
            t.columns[c].name + " row " + std::to_string(r) + "\n" + text);
    }
  }
}

}  // namespace kelo_frame::fuzz
