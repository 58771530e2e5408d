#include "table.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "fresh_pages.hpp"
#include "quote.hpp"
#include "value_set.hpp"

namespace kelo_frame {

namespace {

std::string lookup_message(const Table& table, std::string_view name) {
  std::string message = "no column " + quoted(name) + " (the frame has ";
  if (table.columns.empty()) {
    message += "none";
  } else {
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      if (i != 0) message += ", ";
      message += quoted(table.columns[i].name);
    }
  }
  message += ")";
  return message;
}

}  // namespace

Result<const Col*> Table::col(std::string_view name) const {
  for (const Column& c : columns) {
    if (c.name == name) return &*c.col;
  }
  return fail(lookup_message(*this, name));
}

Result<Col> Table::column(std::string_view name) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  if (!index) return **found;
  return gather(**found, *index);
}

Result<void> check_storage_length(std::string_view name, std::uint64_t length) {
  // Row numbers are 32 bits wide: a longer column could not be addressed by a
  // row index, so it is refused rather than silently truncated.
  if (length > max_rows) {
    return fail("column " + quoted(name) + " has " + std::to_string(length) + " values; a frame holds at most " +
                std::to_string(max_rows) + " rows");
  }
  return {};
}

std::string taken_message(std::string_view name) { return "the frame has a column " + quoted(name) + " already"; }

void Table::materialise() {
  if (!index) return;
  // A view gets its own materialised columns first; tables that share the
  // old columns keep them. This is not undone if the add fails below. The
  // new list is complete before it replaces the old one: if memory runs out
  // part way (the api layer turns that into MemoryError), the table keeps
  // its index and its old columns, never a mix of the two.
  std::vector<Column> materialised;
  materialised.reserve(columns.size());
  for (const Column& c : columns) materialised.push_back(Column{c.name, Rc<Col>::make(gather(*c.col, *index))});
  columns = std::move(materialised);
  index = Rc<RowIndex>();
}

Result<void> Table::append(std::string_view name, Rc<Col> col, bool taken) {
  const std::size_t length = storage_length(*col);
  if (!columns.empty()) {
    if (taken) return fail(taken_message(name));
    if (length != height) {
      return fail("column " + quoted(name) + " has " + std::to_string(length) + " values; the frame has " +
                  std::to_string(height) + " rows");
    }
  }
  if (auto fits = check_storage_length(name, length); !fits) return fits;
  // The height changes only once the column is in.
  const bool first = columns.empty();
  columns.push_back(Column{std::string(name), std::move(col)});
  if (first) height = length;
  return {};
}

Result<void> Table::add(std::string_view name, Col col) { return add(name, Rc<Col>::make(std::move(col))); }

Result<void> Table::add(std::string_view name, Rc<Col> col) {
  materialise();
  const bool taken = std::ranges::any_of(columns, [name](const Column& c) { return c.name == name; });
  return append(name, std::move(col), taken);
}

Result<void> Table::add_all(std::span<const std::string> names, std::span<Rc<Col>> cols) {
  // A few columns are added one by one; many would each scan every name
  // before them, so their names go into a set instead.
  constexpr std::size_t few = 32;
  if (columns.size() + names.size() <= few) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (auto added = add(names[i], std::move(cols[i])); !added) return added;
    }
    return {};
  }
  materialise();
  // No column moves while the set borrows the names.
  reserve_made(columns, columns.size() + names.size());
  TextSet seen(columns.size() + names.size());
  seen.insert_each(columns.size(), [this](std::size_t i) -> std::string_view { return columns[i].name; });
  Result<void> added;
  seen.each_ahead(
      names.size(), [names](std::size_t i) -> std::string_view { return names[i]; }, false,
      [&](std::size_t i, std::uint64_t h) {
        const bool taken = !seen.insert(names[i], h).second;
        added = append(names[i], std::move(cols[i]), taken);
        return static_cast<bool>(added);
      });
  return added;
}

std::vector<std::string> Table::names() const {
  std::vector<std::string> out;
  out.reserve(columns.size());
  for (const Column& c : columns) out.push_back(c.name);
  return out;
}

std::vector<std::string_view> Table::dtypes() const {
  std::vector<std::string_view> out;
  out.reserve(columns.size());
  for (const Column& c : columns) out.push_back(dtype_name(*c.col));
  return out;
}

RowIndex Table::rows() const {
  if (index) return *index;
  RowIndex out(height);
  std::iota(out.begin(), out.end(), std::uint32_t{0});
  return out;
}

}  // namespace kelo_frame
