// Table: an ordered list of named, shared columns seen through an optional row
// index.
//
// A table without a row index shows its columns' cells in storage order; with
// one, position p shows the cells at row number index[p]. Row indexes always
// hold row numbers into the columns' own storage, never into another index,
// so a view of a view is one level deep. Only Table::add changes a table after
// it is made; every other operation returns a new table that shares columns
// (and, where it can, the row index) with its source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "col.hpp"
#include "rc.hpp"
#include "result.hpp"

namespace kelo_frame {

using RowIndex = std::vector<std::uint32_t>;

// The most rows of storage that 32-bit row numbers can address.
inline constexpr std::uint64_t max_rows = std::uint64_t{1} << 32;

struct Column {
  std::string name;
  Rc<Col> col;
};

// The comparison operator of Table::where_num.
enum class Cmp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

// The part of a date that Table::date_part extracts.
enum class DatePart : std::uint8_t { Year, Month, Day };

class Groups;

class Table {
 public:
  std::vector<Column> columns;
  Rc<RowIndex> index;  // empty: no row index
  std::uint64_t height = 0;

  // --- the table model (table.cpp) ---

  // The named column's storage (not materialised), or the lookup message.
  [[nodiscard]] Result<const Col*> col(std::string_view name) const;
  // The named column's cells in row order, as a new column.
  [[nodiscard]] Result<Col> column(std::string_view name) const;
  // Appends a column, materialising a view first. The only in-place change.
  Result<void> add(std::string_view name, Col col);
  // The same for a column already in its shared holder.
  Result<void> add(std::string_view name, Rc<Col> col);
  // The same as add of each (names[i], cols[i]) in order, stopping at the
  // first failure, in time linear in the number of columns. cols are moved
  // from.
  Result<void> add_all(std::span<const std::string> names, std::span<Rc<Col>> cols);

  [[nodiscard]] std::uint64_t width() const noexcept { return columns.size(); }
  [[nodiscard]] std::vector<std::string> names() const;
  [[nodiscard]] std::vector<std::string_view> dtypes() const;

  // The row number of position p.
  [[nodiscard]] std::uint32_t row(std::uint64_t p) const noexcept {
    return index ? (*index)[p] : static_cast<std::uint32_t>(p);
  }
  // The row numbers of every position, in position order.
  [[nodiscard]] RowIndex rows() const;

  // --- views (views.cpp) ---

  // A table of the chosen rows (row numbers into the columns' storage).
  [[nodiscard]] Table over(RowIndex rows) const;
  // The named columns, in the order given, over the same rows.
  [[nodiscard]] Result<Table> select(std::span<const std::string> names) const;
  [[nodiscard]] Table head(std::int64_t n) const;
  [[nodiscard]] Table tail(std::int64_t n) const;

  // --- filters (filter.cpp) ---

  [[nodiscard]] Result<Table> where_num(std::string_view name, Cmp op, double value) const;
  [[nodiscard]] Result<Table> where_among(std::string_view name, std::span<const double> values) const;
  [[nodiscard]] Result<Table> where_in(std::string_view name, std::span<const std::string> values) const;

  // --- sorting (sort.cpp) ---

  [[nodiscard]] Result<Table> sort(std::string_view name, bool descending) const;

  // --- date parts (date_part.cpp) ---

  [[nodiscard]] Result<Col> date_part(std::string_view source, DatePart part) const;

  // --- grouping (group.cpp) ---

  [[nodiscard]] Result<Groups> group(std::span<const std::string> names) const;

 private:
  // Gives a view its own columns (the cells at its rows) and drops its index.
  void materialise();
  // Appends a column to a table without an index; taken: a column of that
  // name is there already.
  Result<void> append(std::string_view name, Rc<Col> col, bool taken);
};

// Table::add's message for a name that is taken.
[[nodiscard]] std::string taken_message(std::string_view name);

// Whether a column of `length` cells named `name` fits a table: row numbers
// are 32 bits wide, so a longer column is refused with a message. Table::add
// applies it to every column added.
[[nodiscard]] Result<void> check_storage_length(std::string_view name, std::uint64_t length);

// The cells of col at the given row numbers, in that order, as a new column of
// the same variant. Text cells are copied.
[[nodiscard]] Col gather(const Col& col, std::span<const std::uint32_t> rows);

}  // namespace kelo_frame
