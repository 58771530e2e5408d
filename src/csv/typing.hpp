// Typing: the dtype and the cells of each scanned column.
//
// A column starts as i64; the first cell that is no integer text turns it into
// f64 (the integers read so far are converted, not parsed again), and the
// first cell that is no float text, or any quoted field, turns it into str.
// Cells are typed in blocks of rows, so that a reader can type all columns of
// a stretch of text while it is in the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "../engine/col.hpp"
#include "../engine/fresh_pages.hpp"
#include "../engine/rc.hpp"
#include "scan.hpp"

namespace kelo_frame::csv {

class ColumnBuilder {
 public:
  enum class Kind : std::uint8_t { Int, Float, Text };

  // rows_hint: the expected number of rows, to reserve storage once.
  ColumnBuilder(std::string_view text, std::size_t rows_hint) : text_(text), rows_hint_(rows_hint) {}
  // `width` builders of that text.
  [[nodiscard]] static std::vector<ColumnBuilder> many(std::size_t width, std::string_view text,
                                                       std::size_t rows_hint) {
    std::vector<ColumnBuilder> out;
    reserve_made(out, width);
    for (std::size_t c = 0; c < width; ++c) out.emplace_back(text, rows_hint);
    return out;
  }

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // Rows typed so far.
  [[nodiscard]] std::size_t size() const noexcept { return done_; }

  // Types the next rows, [size(), r1). The field of row r is spans[r - base],
  // base <= size(). False when the column turned to str and needs the texts of
  // rows before base: the caller then passes rows [0, r1) to add_texts, those
  // before base first.
  bool add(const Bounds* spans, std::size_t base, std::size_t r1);

  // Turns the column to str (a quoted field was met); the texts start again
  // from row 0. `sample_bytes` of fields in `sample_rows` rows tell how long
  // its texts are, to size the byte buffer once.
  void make_text(std::size_t sample_bytes, std::size_t sample_rows);

  // Appends the texts of rows [size(), r1) of a str column; the field of row r
  // is spans[r - base].
  void add_texts(const Bounds* spans, std::size_t base, std::size_t r1);

  // The finished column.
  [[nodiscard]] Col finish() &&;

 private:
  std::size_t add_ints(const Bounds* spans, std::size_t base, std::size_t r1);
  std::size_t add_floats(const Bounds* spans, std::size_t base, std::size_t r1);
  void to_float(std::size_t k);
  void set_missing(Validity& valid, std::size_t r);

  std::string_view text_;
  std::size_t rows_hint_;
  Kind kind_ = Kind::Int;
  std::size_t done_ = 0;
  std::vector<std::int64_t> ints_;
  std::vector<double> floats_;
  std::vector<std::size_t> negative_zeros_;  // rows of i64 zeros written with '-'
  // A str column's cells, with the fresh pages of their bytes and offsets.
  struct Texts {
    StrCol col;
    PagesAhead bytes_ahead, offsets_ahead;
  };
  // Made when the column turns to str: a StrCol allocates its first offset,
  // and a reader of many columns keeps a builder for each, so a numeric
  // column carries only a pointer for it.
  std::unique_ptr<Texts> texts_;
  Validity valid_;           // of ints_ and floats_ (texts_ has its own)
  PagesAhead values_ahead_;  // fresh pages of ints_ or floats_
};

// One Col per scanned column, in header order, from whole span lists; each
// list is released as its column is done.
[[nodiscard]] std::vector<Rc<Col>> type_columns(std::string_view text, Scanned& scanned);

// The bytes of `count` fields, an upper bound of the length of their texts.
[[nodiscard]] std::size_t text_bytes(const Bounds* spans, std::size_t count) noexcept;

// Rows per block of typing: about 1 MB of text per block.
[[nodiscard]] std::size_t rows_per_block(std::size_t text_bytes, std::size_t rows);

}  // namespace kelo_frame::csv
