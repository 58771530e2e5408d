// A table as raw column buffers (the form pickling carries) and back.
//
// Each column is its storage in the machine's byte order: f64 and i64 values
// (8 bytes per row), or str offsets (8 bytes per row and one more) and bytes;
// and the validity words (8 bytes each, only up to the last missing cell).
// Reading them back checks every length, offset and text, so buffers from an
// untrusted source give a message, never a read out of bounds or a column
// that breaks the table's rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/result.hpp"
#include "engine/table.hpp"

namespace kelo_frame::arrow {

struct RawColumn {
  std::string name;
  Dtype dtype = Dtype::F64;
  std::span<const std::uint8_t> main;      // values, or str offsets
  std::span<const std::uint8_t> bytes;     // str only
  std::span<const std::uint8_t> validity;  // validity words
};

// A table without a row index holding the given table's cells in row order
// (a view's columns gathered), whose columns' buffers raw_columns can show.
[[nodiscard]] Table stored(const Table& table);

// The buffers of a table without a row index, borrowed from its columns.
[[nodiscard]] std::vector<RawColumn> raw_columns(const Table& table);

// A new table of height rows from checked copies of the buffers.
[[nodiscard]] Result<Table> table_from_raw(std::uint64_t height, std::span<const RawColumn> columns);

}  // namespace kelo_frame::arrow
