// Arrow import: record batches (a C stream of them, or one struct array) read
// into a new table, every cell copied into the table's own columns.
//
// Integers become i64 (unsigned 64-bit ones only where every value fits),
// floats become f64 (float32 and float16 widen exactly), utf8, large_utf8,
// string_view and dictionary-encoded strings become str, and date32 and
// date64 become YYYY-MM-DD texts (str), the form the date parts read. Arrow
// nulls become missing cells; the batches of a stream become one column each.
// Every field's type is checked before any cell is read; a value that cannot
// be held (an unsigned integer beyond i64, invalid UTF-8, a date outside years
// 1 to 9999) fails naming its column and row, and nothing is kept.
#pragma once

#include "c_abi.h"
#include "engine/result.hpp"
#include "engine/table.hpp"

namespace kelo_frame::arrow {

// Reads every batch of the stream (the stream is not released here).
[[nodiscard]] Result<Table> import_stream(ArrowArrayStream& stream);

// Reads one struct array of the given schema (neither is released here).
[[nodiscard]] Result<Table> import_batch(const ArrowSchema& schema, const ArrowArray& batch);

}  // namespace kelo_frame::arrow
