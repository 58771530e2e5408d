// Table::date_part: the year, month or day of each date in a text column.
#include <string>

#include "date.hpp"
#include "prefetch.hpp"
#include "quote.hpp"
#include "table.hpp"

namespace kelo_frame {

Result<Col> Table::date_part(std::string_view source, DatePart part) const {
  auto found = col(source);
  if (!found) return fail(std::move(found.error()));
  const Col& column = **found;
  const auto* texts = std::get_if<StrCol>(&column);
  if (texts == nullptr) {
    return fail("column " + quoted(source) + " is " + std::string(dtype_name(column)) + ", not str");
  }

  I64Col out;
  out.values.resize(height);
  std::int64_t* values = out.values.data();
  const bool all_present = texts->valid.all_present();
  if (!all_present) out.valid.reserve(height);
  const std::uint32_t* rows = index ? index->data() : nullptr;
  const std::uint64_t* offsets = texts->offsets.data();
  const char* bytes = texts->bytes.data();
  for (std::uint64_t p = 0; p < height; ++p) {
    const std::uint32_t r = rows != nullptr ? rows[p] : static_cast<std::uint32_t>(p);
    if (rows != nullptr) {
      // Through a row index every cell is a cache miss: ask for the offsets
      // of a row further on, and for the bytes of a nearer one whose offsets
      // have arrived by now.
      if (p + 2 * prefetch_distance < height) prefetch(offsets + rows[p + 2 * prefetch_distance]);
      if (p + prefetch_distance < height) prefetch(bytes + offsets[rows[p + prefetch_distance]]);
    }
    if (!all_present && !texts->present(r)) {
      values[p] = 0;
      out.valid.set_missing(p);
      continue;
    }
    const std::string_view text = texts->at(r);
    const std::optional<Date> date = parse_date(text);
    if (!date) {
      return fail("column " + quoted(source) + ", row " + std::to_string(p) + ": " + quoted(text) +
                  " is not a YYYY-MM-DD date");
    }
    values[p] = part_of(*date, part);
  }
  return Col(std::move(out));
}

}  // namespace kelo_frame
