#include "read.hpp"

#include <string>

#include "../engine/value_set.hpp"
#include "read_fused.hpp"
#include "scan.hpp"
#include "typing.hpp"

namespace kelo_frame::csv {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Table::add's message for the first header name that repeats an earlier one,
// or nothing. Found before typing so that no column is typed in vain.
std::optional<std::string> repeated_name(const std::vector<std::string>& names) {
  TextSet seen(names.size());
  const std::size_t i =
      seen.insert_each(names.size(), [&names](std::size_t k) -> std::string_view { return names[k]; });
  if (i == names.size()) return std::nullopt;
  return taken_message(names[i]);
}

}  // namespace

Result<Table> read(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  // Spans hold 32-bit offsets.
  if (text.size() >= (std::uint64_t{1} << 32)) return fail("the text is over 4 GB");
  if (text.empty()) return fail("no header line");
  if (auto fused = read_fused(text)) {
    Table table;
    if (auto added = table.add_all(fused->names, fused->cols); !added) return fail(std::move(added.error()));
    return table;
  }
  // Anything irregular: the whole text is scanned first, and every failure
  // reported in its order, before any column is typed.
  auto scanned = scan(text);
  if (!scanned) return fail(std::move(scanned.error()));
  if (auto message = repeated_name(scanned->names)) return fail(std::move(*message));
  std::vector<Rc<Col>> cols = type_columns(text, *scanned);
  Table table;
  if (auto added = table.add_all(scanned->names, cols); !added) return fail(std::move(added.error()));
  return table;
}

}  // namespace kelo_frame::csv
