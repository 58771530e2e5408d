// The CSV writer: a table (view or not) out as CSV text that the reader reads
// back to an equal table.
#pragma once

#include <string>
#include <string_view>

#include "../engine/table.hpp"

namespace kelo_frame::csv {

// The header line and one line per row of the view, each ending with LF.
[[nodiscard]] std::string write(const Table& table);

// The text as one CSV field: in double quotes, with quotes doubled, when it is
// empty, holds a comma, quote, CR or LF, or begins with white space.
[[nodiscard]] std::string quote(std::string_view text);

}  // namespace kelo_frame::csv
