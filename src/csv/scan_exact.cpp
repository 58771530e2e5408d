#include <optional>

#include "record_reader.hpp"
#include "scan.hpp"

namespace kelo_frame::csv {

void Scanned::set_header(const std::vector<Bounds>& fields, std::string_view text) {
  names.clear();
  names.reserve(fields.size());
  for (const Bounds b : fields) names.push_back(Span::text(span_of(b, text), text));
  columns.clear();
  columns.resize(fields.size());
  quoted.assign(fields.size(), 0);
  rows = 0;
}

Result<Scanned> scan_exact(std::string_view text) {
  Scanned out;
  bool have_header = false;
  std::optional<std::string> pending;  // the first field-count message
  RecordReader reader(text);
  std::vector<Bounds> fields;
  while (!reader.done()) {
    if (auto ok = reader.read(fields); !ok) return fail(std::move(ok.error()));
    if (is_blank(fields, text)) continue;
    if (!have_header) {
      out.set_header(fields, text);
      have_header = true;
      continue;
    }
    if (pending) continue;  // the read fails; only a quote error can still change how
    if (fields.size() != out.columns.size()) {
      pending = "line " + std::to_string(reader.record_line()) + ": " + std::to_string(fields.size()) +
                " fields; the header has " + std::to_string(out.columns.size());
      continue;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      out.columns[i].push(fields[i]);
      out.quoted[i] |= static_cast<std::uint8_t>(is_quoted(fields[i], text));
    }
    ++out.rows;
  }
  if (!have_header) return fail("no header line");
  if (pending) return fail(std::move(*pending));
  return out;
}

}  // namespace kelo_frame::csv
