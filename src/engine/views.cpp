// Views: tables of chosen rows or chosen columns that share their source's
// columns and copy no cell.
#include <algorithm>
#include <utility>

#include "quote.hpp"
#include "table.hpp"

namespace kelo_frame {

namespace {

// True when rows lists every row of storage_length in storage order: such a
// table is made without a row index (identity collapse).
bool is_identity(const RowIndex& rows, std::size_t storage_length) {
  if (rows.size() != storage_length) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i] != i) return false;
  }
  return true;
}

// Positions [from, from + count) of table, as row numbers.
RowIndex row_numbers(const Table& table, std::uint64_t from, std::uint64_t count) {
  RowIndex out(count);
  if (table.index) {
    std::copy_n(table.index->begin() + static_cast<std::ptrdiff_t>(from), count, out.begin());
  } else {
    for (std::uint64_t i = 0; i < count; ++i) out[i] = static_cast<std::uint32_t>(from + i);
  }
  return out;
}

// The count k of head(n) and tail(n) on a table of height h.
std::uint64_t take_count(std::int64_t n, std::uint64_t h) {
  if (n >= 0) return std::min(static_cast<std::uint64_t>(n), h);
  const std::uint64_t drop = static_cast<std::uint64_t>(-(n + 1)) + 1;  // |n| without overflow at INT64_MIN
  return drop >= h ? 0 : h - drop;
}

}  // namespace

Table Table::over(RowIndex rows) const {
  Table out;
  out.columns = columns;
  out.height = rows.size();
  const std::size_t length = columns.empty() ? 0 : storage_length(*columns.front().col);
  if (!is_identity(rows, length)) out.index = Rc<RowIndex>::make(std::move(rows));
  return out;
}

Result<Table> Table::select(std::span<const std::string> names) const {
  Table out;
  out.index = index;
  out.height = height;
  out.columns.reserve(names.size());
  for (const std::string& name : names) {
    for (const Column& c : out.columns) {
      if (c.name == name) return fail("column " + quoted(name) + " selected twice");
    }
    auto found = col(name);
    if (!found) return fail(std::move(found.error()));
    for (const Column& c : columns) {
      if (c.name == name) {
        out.columns.push_back(c);
        break;
      }
    }
  }
  return out;
}

Table Table::head(std::int64_t n) const {
  const std::uint64_t k = take_count(n, height);
  if (k == height) return *this;
  return over(row_numbers(*this, 0, k));
}

Table Table::tail(std::int64_t n) const {
  const std::uint64_t k = take_count(n, height);
  if (k == height) return *this;
  return over(row_numbers(*this, height - k, k));
}

}  // namespace kelo_frame
