// ChunkScanner: the fast scan over 64-byte blocks turned into bitmasks,
// resumable, so that a reader can type each stretch of rows while its text is
// still in the cache.
//
// A running XOR of the quote bits tells, for every byte, whether it lies
// inside quotes; commas, CRs and LFs outside quotes end fields. That reading
// agrees with the exact one (RecordReader) as long as every quote opens a
// field, closes one, or is half of a doubled quote inside one; this is checked
// on the masks: an opening quote must follow a separator or a closing quote,
// and a closing quote must be followed by a separator, a quote or the end.
// Anything else, a text that ends inside quotes, or a record of the wrong
// width makes the scanner give up; the exact scan then decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "block_masks.hpp"
#include "span_list.hpp"

namespace kelo_frame::csv {

class ChunkScanner {
 public:
  // How the fields are kept: a list per column that keeps every row (for
  // take_lists), or one block of `width` stretches of rows, for a reader that
  // types each chunk and moves on; with a wide header, one allocation instead
  // of one a column.
  enum class Keep : std::uint8_t { Lists, Chunks };

  // Scans the data records of text from `from` (just past the header) for a
  // header of `width` fields; rows_hint sizes the span lists at first.
  ChunkScanner(std::string_view text, std::size_t width, std::size_t from, std::size_t rows_hint,
               Keep keep = Keep::Lists);

  // Scans on until at least `stop` or the end of the text (the end also ends
  // the last record). False when it gives up.
  [[nodiscard]] bool scan_to(std::size_t stop);

  [[nodiscard]] bool at_end() const noexcept { return pos_ >= text_.size() && finished_; }
  // The offset up to which the text has been scanned.
  [[nodiscard]] std::size_t pos() const noexcept { return pos_; }
  // Complete data records so far.
  [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
  // The row whose field is at index 0 of the lists.
  [[nodiscard]] std::size_t base() const noexcept { return base_; }
  // Column c's fields: row r at index r - base().
  [[nodiscard]] const Bounds* spans(std::size_t c) const noexcept { return heads_[c]; }
  // Whether a field of column c was quoted, in any row so far.
  [[nodiscard]] bool quoted(std::size_t c) const noexcept { return quoted_[c] != 0; }

  // Forgets the fields of the complete rows, keeping those of a record that is
  // still open; base() becomes rows().
  void next_chunk() noexcept;

  // The span lists and quoted flags, for a scanner that keeps Lists and
  // never started a new chunk (base() is 0). Only after scan_to reached the
  // end.
  [[nodiscard]] std::vector<SpanList> take_lists();
  [[nodiscard]] std::vector<std::uint8_t> take_quoted() { return std::move(quoted_); }

 private:
  bool block(const BlockMasks& m, std::size_t at, std::uint64_t valid);
  bool field(std::size_t at, bool record_end);
  void grow(std::size_t capacity);

  std::string_view text_;
  std::size_t width_;
  Keep keep_;
  std::vector<SpanList> lists_;  // Keep::Lists: one a column
  SpanList block_;               // Keep::Chunks: column c's at c * capacity_
  std::vector<Bounds*> heads_;   // where column c's fields are, kept at hand
  std::vector<std::uint8_t> quoted_;
  std::size_t capacity_ = 0;  // fields each list can hold
  std::size_t pos_;
  bool finished_ = false;
  std::size_t rows_ = 0;
  std::size_t base_ = 0;
  std::size_t col_ = 0;            // fields of the open record so far
  std::size_t fstart_;             // where the next field begins
  std::uint64_t inside_ = 0;       // all ones when the last byte lies inside quotes
  std::uint64_t open_ok_ = 1;      // the last byte was a separator or closing quote (or none yet)
  std::uint64_t close_carry_ = 0;  // the last byte was a closing quote
  std::uint64_t cr_carry_ = 0;     // the last byte was a CR
};

// A guess at the number of records of `width` fields in [from, end of text):
// the non-blank lines of the first 64 KB, scaled to the whole, and never more
// than the text's bytes can hold, so reservations stay within the text's size.
[[nodiscard]] std::size_t estimate_records(std::string_view text, std::size_t from, std::size_t width);

}  // namespace kelo_frame::csv
