#include "read.hpp"

#include <string>
#include <unordered_set>

#include "read_fused.hpp"
#include "scan.hpp"
#include "typing.hpp"

namespace kelo_frame::csv {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Table::add's message for the first header name that repeats an earlier one,
// or nothing. Found before typing so that no column is typed in vain; the
// message is made by adding empty columns to a scratch table, so it is
// exactly the one the real adds would give.
std::optional<std::string> repeated_name(const std::vector<std::string>& names) {
  std::unordered_set<std::string_view> seen;
  bool repeats = false;
  for (const std::string& name : names) {
    if (!seen.insert(name).second) {
      repeats = true;
      break;
    }
  }
  if (!repeats) return std::nullopt;
  Table scratch;
  for (const std::string& name : names) {
    if (auto added = scratch.add(name, I64Col{}); !added) return std::move(added.error());
  }
  return std::nullopt;
}

}  // namespace

Result<Table> read(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  // Spans hold 32-bit offsets.
  if (text.size() >= (std::uint64_t{1} << 32)) return fail("the text is over 4 GB");
  if (text.empty()) return fail("no header line");
  if (auto fused = read_fused(text)) {
    Table table;
    for (std::size_t c = 0; c < fused->cols.size(); ++c) {
      if (auto added = table.add(fused->names[c], std::move(fused->cols[c])); !added) {
        return fail(std::move(added.error()));
      }
    }
    return table;
  }
  // Anything irregular: the whole text is scanned first, and every failure
  // reported in its order, before any column is typed.
  auto scanned = scan(text);
  if (!scanned) return fail(std::move(scanned.error()));
  if (auto message = repeated_name(scanned->names)) return fail(std::move(*message));
  std::vector<Col> cols = type_columns(text, *scanned);
  Table table;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    if (auto added = table.add(scanned->names[c], std::move(cols[c])); !added) return fail(std::move(added.error()));
  }
  return table;
}

}  // namespace kelo_frame::csv
