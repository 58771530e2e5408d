#include <optional>

#include "chunk_scanner.hpp"
#include "record_reader.hpp"
#include "scan.hpp"

namespace kelo_frame::csv {

std::optional<Scanned> scan_fast(std::string_view text) {
  Scanned out;
  RecordReader reader(text);
  std::vector<Bounds> fields;
  for (;;) {
    if (reader.done()) return std::nullopt;  // no header: the exact scan says so
    if (!reader.read(fields)) return std::nullopt;
    if (!is_blank(fields, text)) break;
  }
  out.set_header(fields, text);
  if (reader.done()) return out;
  ChunkScanner scanner(text, out.columns.size(), reader.pos(),
                       estimate_records(text, reader.pos(), out.columns.size()));
  if (!scanner.scan_to(text.size())) return std::nullopt;
  out.rows = scanner.rows();
  out.columns = scanner.take_lists();
  out.quoted = scanner.take_quoted();
  return out;
}

}  // namespace kelo_frame::csv
