// Only the span lists of one stretch (512 KB of text unless told) are kept, not
// those of the whole text. When a column turns to str late, the texts of its
// earlier rows are gathered by scanning the text before the stretch again;
// after a few such rescans the fused read gives up in favour of the
// whole-text reading, which keeps every span.
#include "read_fused.hpp"

#include <algorithm>

#include "chunk_scanner.hpp"
#include "record_reader.hpp"
#include "typing.hpp"

namespace kelo_frame::csv {

namespace {

constexpr int kMaxRescans = 4;

// Feeds the texts of rows [0, base) to the builders marked in `pending`, by
// scanning the data records from `from` again.
bool texts_before(std::string_view text, std::size_t from, std::size_t chunk, std::size_t base, std::size_t chunk_rows,
                  std::vector<ColumnBuilder>& builders, const std::vector<std::uint8_t>& pending) {
  ChunkScanner scanner(text, builders.size(), from, chunk_rows, ChunkScanner::Keep::Chunks);
  for (std::size_t stop = from + chunk;; stop += chunk) {
    if (!scanner.scan_to(stop)) return false;
    const std::size_t r1 = std::min(scanner.rows(), base);
    for (std::size_t c = 0; c < builders.size(); ++c) {
      if (pending[c] != 0) builders[c].add_texts(scanner.spans(c), scanner.base(), r1);
    }
    if (scanner.rows() >= base || scanner.at_end()) return true;
    scanner.next_chunk();
  }
}

}  // namespace

std::optional<ReadColumns> read_fused(std::string_view text, std::size_t chunk) {
  ReadColumns out;
  RecordReader reader(text);
  std::vector<Bounds> fields;
  for (;;) {
    if (reader.done()) return std::nullopt;
    if (!reader.read(fields)) return std::nullopt;
    if (!is_blank(fields, text)) break;
  }
  reserve_made(out.names, fields.size());
  for (const Bounds b : fields) out.names.push_back(Span::text(span_of(b, text), text));
  const std::size_t width = out.names.size();
  const std::size_t from = reader.pos();

  const std::size_t rows_hint = from < text.size() ? estimate_records(text, from, width) : 0;
  // Room for the records of one stretch in every column's span list at
  // first. A stretch is at most the text after the header, and a record
  // takes at least `width` bytes, so a stretch holds no more than
  // stretch / width of them (plus the one that crosses its end): a wide
  // header must not reserve dozens of spans per column for a single row,
  // and a short text not the room of a whole stretch. Column c's list starts
  // c * chunk_rows spans into one block, so every span reserved and not used
  // spreads the columns' first writes over more fresh pages.
  const std::size_t data_bytes = std::max<std::size_t>(1, text.size() - from);
  const std::size_t stretch = std::min(chunk, data_bytes);
  const std::size_t chunk_rows =
      std::min(rows_hint * stretch / data_bytes + rows_hint / 64 + 64, stretch / std::max<std::size_t>(1, width) + 2);
  std::vector<ColumnBuilder> builders = ColumnBuilder::many(width, text, rows_hint);
  if (from < text.size()) {
    ChunkScanner scanner(text, width, from, chunk_rows, ChunkScanner::Keep::Chunks);
    std::vector<std::uint8_t> pending(width, 0);
    int rescans = 0;
    for (std::size_t stop = from + chunk;; stop += chunk) {
      if (!scanner.scan_to(stop)) return std::nullopt;
      const std::size_t base = scanner.base();
      const std::size_t r1 = scanner.rows();
      bool any_pending = false;
      for (std::size_t c = 0; c < width; ++c) {
        ColumnBuilder& b = builders[c];
        const Bounds* spans = scanner.spans(c);
        if (b.kind() != ColumnBuilder::Kind::Text && scanner.quoted(c)) {
          // A quoted field: the column is str, whatever it held so far.
          b.make_text(text_bytes(spans, r1 - base), r1 - base);
          if (base != 0) pending[c] = 1;
        }
        if (b.kind() == ColumnBuilder::Kind::Text) {
          if (pending[c] == 0) b.add_texts(spans, base, r1);
        } else if (!b.add(spans, base, r1)) {
          pending[c] = 1;
        }
        any_pending = any_pending || pending[c] != 0;
      }
      if (any_pending) {
        if (++rescans > kMaxRescans) return std::nullopt;
        if (!texts_before(text, from, chunk, base, chunk_rows, builders, pending)) return std::nullopt;
        for (std::size_t c = 0; c < width; ++c) {
          if (pending[c] != 0) builders[c].add_texts(scanner.spans(c), base, r1);
          pending[c] = 0;
        }
      }
      if (scanner.at_end()) break;
      scanner.next_chunk();
    }
  }
  reserve_made(out.cols, width);
  for (ColumnBuilder& b : builders) out.cols.push_back(Rc<Col>::make(std::move(b).finish()));
  return out;
}

}  // namespace kelo_frame::csv
