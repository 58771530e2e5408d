// Read a table, write it, read the text back: the same table, except where
// writing and reading are known not to meet. Those exceptions are exact:
//   - a column holding NaN or +inf comes back as "str", holding the texts
//     repr::float_ gives for its cells;
//   - a column with no present cell comes back as "i64", all missing;
//   - in a table of one column a row whose cell is missing is lost.
// Each table read is also written as a view of its rows in reverse order, so
// that the writer's row-index path is checked too.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "csv/read.hpp"
#include "csv/write.hpp"
#include "repr/float.hpp"

namespace {

using kelo_frame::Col;
using kelo_frame::F64Col;
using kelo_frame::I64Col;
using kelo_frame::RowIndex;
using kelo_frame::StrCol;
using kelo_frame::Table;
using kelo_frame::fuzz::check;

// What a column of the written table reads back as.
Col expected_back(const Col& col) {
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

void round_trip(const Table& t) {
  const std::string text = kelo_frame::csv::write(t);
  const auto back = kelo_frame::csv::read(text);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto table = kelo_frame::csv::read(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!table) return 0;
  round_trip(*table);
  if (table->height > 1) {
    RowIndex reversed(table->height);
    std::iota(reversed.rbegin(), reversed.rend(), std::uint32_t{0});
    round_trip(table->over(std::move(reversed)));
  }
  return 0;
}
