// The scan: one pass over the CSV text into per-column lists of field spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../engine/result.hpp"
#include "span_list.hpp"

namespace kelo_frame::csv {

struct Scanned {
  std::vector<std::string> names;    // the header's fields, in order
  std::vector<SpanList> columns;     // one list per name, one span per data record
  std::vector<std::uint8_t> quoted;  // per column: 1 when some data field was quoted
  std::size_t rows = 0;              // accepted data records

  // Makes the header's names and one empty list per name.
  void set_header(const std::vector<Bounds>& fields, std::string_view text);
};

// The exact, byte-at-a-time scan, the reference for every other: the scanned
// header and columns, or the first failure in the order the reader reports
// them (a quote error, then "no header line", then the first record whose
// field count differs from the header's). text is not empty and holds fewer
// than 2^32 bytes.
[[nodiscard]] Result<Scanned> scan_exact(std::string_view text);

// The same scan over 64-byte blocks turned into bitmasks. Gives nothing when it
// meets anything irregular (a quote that does not open or close a field, an
// unclosed quote, a record of the wrong width): the exact scan then decides.
// On success its result equals scan_exact's.
[[nodiscard]] std::optional<Scanned> scan_fast(std::string_view text);

// scan_fast, and scan_exact when it gives nothing.
[[nodiscard]] Result<Scanned> scan(std::string_view text);

}  // namespace kelo_frame::csv
