// The CSV reader: one text in, one table out, column dtypes from the contents.
#pragma once

#include <string_view>

#include "../engine/result.hpp"
#include "../engine/table.hpp"

namespace kelo_frame::csv {

// Reads UTF-8 CSV text (comma, double quotes, LF/CR/CRLF record ends, first
// non-blank record is the header) into a table, or returns the message of the
// first failure.
[[nodiscard]] Result<Table> read(std::string_view text);

}  // namespace kelo_frame::csv
