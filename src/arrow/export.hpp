// Arrow export: a table's columns as Arrow C data (schema, one record batch,
// and a stream of that one batch), sharing the columns' own buffers.
//
// Every exported structure holds its own references to the columns it shows
// (Rc, whose count is atomic), so it stays valid after the table and its
// Python object are gone, and its release callback may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "c_abi.h"
#include "engine/result.hpp"
#include "engine/table.hpp"

namespace kelo_frame::arrow {

// How a str column's offsets are exported: 64-bit (large_utf8, the column's
// own) or 32-bit (utf8, built on request when the bytes fit).
enum class TextOffsets : std::uint8_t { Large, Small };

// What one export shows: the columns in storage order (a view's columns are
// gathered first), the height, and the offsets width of each column.
struct ExportPlan {
  std::vector<Column> columns;
  std::vector<TextOffsets> offsets;  // one per column
  std::uint64_t height = 0;
};

// Plans the export of table. With a requested schema (a struct whose children
// match the columns by position and name), each column is exported as the
// type asked for where that is exact; anything else is the failure message.
// A plan for the schema alone (with_cells false) leaves a view's columns
// ungathered; only a plan with cells may be given to export_batch.
[[nodiscard]] Result<ExportPlan> plan_export(const Table& table, const ArrowSchema* requested, bool with_cells);

// Fills out with the plan's schema: a struct of one nullable field per column.
// Fails only when memory runs out (std::bad_alloc), before out is touched.
void export_schema(const ExportPlan& plan, ArrowSchema* out);

// Fills out with the plan's record batch: a struct array of plan.height rows.
// Fails only when memory runs out (std::bad_alloc), before out is touched.
void export_batch(const ExportPlan& plan, ArrowArray* out);

// Fills out with a stream that yields the plan's one record batch, then ends.
void export_stream(ExportPlan plan, ArrowArrayStream* out);

}  // namespace kelo_frame::arrow
