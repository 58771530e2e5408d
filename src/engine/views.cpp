// Views: tables of chosen rows or chosen columns that share their source's
// columns and copy no cell.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "fresh_pages.hpp"
#include "prefetch.hpp"
#include "quote.hpp"
#include "table.hpp"
#include "value_set.hpp"

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
  reserve_made(out.columns, names.size());
  // Names are handled in order, so the first offending name decides the
  // message: a name chosen before is "selected twice", a missing one gets the
  // lookup message. Few names of few columns are found by scanning; beyond
  // that the source's names go into a set once (a name's number is then its
  // column's place, the first of that name) and each chosen place is marked.
  constexpr std::size_t scan_pairs = 256;
  if (names.size() * columns.size() <= scan_pairs) {
    for (const std::string& name : names) {
      for (const Column& c : out.columns) {
        if (c.name == name) return fail("column " + quoted(name) + " selected twice");
      }
      const auto found = std::ranges::find(columns, name, &Column::name);
      if (found == columns.end()) return fail(std::move(col(name).error()));
      out.columns.push_back(*found);
    }
    return out;
  }
  TextSet places(columns.size());
  places.insert_each(columns.size(), [this](std::size_t i) -> std::string_view { return columns[i].name; });
  std::vector<bool> chosen(columns.size());
  std::vector<std::uint32_t> at(names.size());
  std::optional<std::string> failure;
  places.each_ahead(
      names.size(), [names](std::size_t i) -> std::string_view { return names[i]; }, true,
      [&](std::size_t i, std::uint64_t h) {
        at[i] = places.find(names[i], h);
        if (at[i] == TextSet::none) {
          failure = std::move(col(names[i]).error());
        } else if (chosen[at[i]]) {
          failure = "column " + quoted(names[i]) + " selected twice";
        } else {
          chosen[at[i]] = true;
        }
        return !failure;
      });
  if (failure) return fail(std::move(*failure));
  // The chosen columns come in any order: each copy touches its entry and
  // its column's count at random places of a large table, so both are asked
  // of the cache ahead, the entry first and its count once the entry is near.
  const std::size_t n = at.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + prefetch_distance < n) prefetch(&columns[at[i + prefetch_distance]]);
    if (i + prefetch_distance / 2 < n) prefetch(columns[at[i + prefetch_distance / 2]].col.get());
    out.columns.push_back(columns[at[i]]);
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
