// Typing: the dtype and the cells of each scanned column.
#pragma once

#include <string_view>
#include <vector>

#include "../engine/col.hpp"
#include "scan.hpp"

namespace kelo_frame::csv {

// One Col per scanned column, in header order: "str" when some field is quoted;
// else "i64" when every present cell is an integer text (so also when there
// are no present cells); else "f64" when csv::float_ takes every present cell;
// else "str". The span lists are released as their columns are built.
[[nodiscard]] std::vector<Col> type_columns(std::string_view text, Scanned& scanned);

}  // namespace kelo_frame::csv
