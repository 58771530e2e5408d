// All columns are typed together, in blocks of rows that span about 1 MB of
// text, so that each stretch of text is brought into the cache once for all
// columns rather than once per column. A column starts as i64; the first cell
// that is no integer text turns it into f64 (the integers read so far are
// converted, not parsed again), and the first cell that is no float text
// turns it into str, whose bytes for the earlier rows are then gathered at
// once. A column with a quoted field is str from the start.
#include "typing.hpp"

#include <algorithm>
#include <cstring>

#include "float.hpp"
#include "int_text.hpp"

namespace kelo_frame::csv {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// Slack past the last cell of a text block, so that short cells are copied
// with fixed-size moves that may write a little beyond them.
constexpr std::size_t kSlack = 16;

enum class Kind : std::uint8_t { Int, Float, Text };

struct Builder {
  Kind kind = Kind::Int;
  bool quoted = false;  // some field of the column is quoted
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  StrCol texts;
  Validity valid;  // of ints and floats (texts has its own)
};

class Typer {
 public:
  Typer(std::string_view text, std::size_t rows) : text_(text), rows_(rows) {}

  // Types rows [r0, r1) of one column.
  void block(Builder& b, const Bounds* spans, std::size_t r0, std::size_t r1) const {
    std::size_t r = r0;
    if (b.kind == Kind::Int) {
      b.ints.resize(r1);  // within the reserved room: only this block's pages are touched
      r = int_block(b, spans, r0, r1);
      if (r == r1) return;
      to_float(b, spans, r);
    }
    if (b.kind == Kind::Float) {
      b.floats.resize(r1);
      r = float_block(b, spans, r, r1);
      if (r == r1) return;
      to_text(b, spans);
      text_block(b, spans, 0, r);  // the rows typed as numbers so far
    }
    text_block(b, spans, r, r1);
  }

  // Reserves the storage of a column that starts as i64, or as str when
  // quoted.
  void start(Builder& b, const Bounds* spans) const {
    if (b.quoted) {
      to_text(b, spans);
    } else {
      b.ints.reserve(rows_);
    }
  }

 private:
  void set_missing(Validity& valid, std::size_t r) const {
    if (valid.all_present()) valid.reserve(rows_);
    valid.set_missing(r);
  }

  // Returns the row of the first cell that is no integer text, or r1.
  std::size_t int_block(Builder& b, const Bounds* spans, std::size_t r0, std::size_t r1) const {
    const char* const s = text_.data();
    const char* const limit = s + text_.size();
    std::int64_t* const out = b.ints.data();
    for (std::size_t r = r0; r < r1; ++r) {
      const Bounds f = spans[r];
      if (f.start == f.end) {
        set_missing(b.valid, r);
        continue;
      }
      if (!parse_int(s + f.start, s + f.end, limit, out[r])) return r;
    }
    return r1;
  }

  // Returns the row of the first cell that is no float text, or r1.
  std::size_t float_block(Builder& b, const Bounds* spans, std::size_t r0, std::size_t r1) const {
    double* const out = b.floats.data();
    for (std::size_t r = r0; r < r1; ++r) {
      const Bounds f = spans[r];
      if (f.start == f.end) {
        set_missing(b.valid, r);
        continue;
      }
      const auto value = float_(text_.substr(f.start, f.end - f.start));
      if (!value) return r;
      out[r] = *value;
    }
    return r1;
  }

  // The i64 column becomes f64 at row k: the first k cells are converted,
  // nearest float, and a zero written with '-' is negative zero.
  void to_float(Builder& b, const Bounds* spans, std::size_t k) const {
    b.kind = Kind::Float;
    b.floats.reserve(rows_);
    b.floats.resize(k);
    for (std::size_t r = 0; r < k; ++r) {
      const std::int64_t v = b.ints[r];
      if (v == 0) {
        b.floats[r] = spans[r].start != spans[r].end && text_[spans[r].start] == '-' ? -0.0 : 0.0;
      } else {
        b.floats[r] = static_cast<double>(v);
      }
    }
    b.ints = {};
  }

  // The column becomes str: its storage is sized from its spans once.
  void to_text(Builder& b, const Bounds* spans) const {
    b.kind = Kind::Text;
    b.ints = {};
    b.floats = {};
    b.valid = {};
    std::size_t total = 0;
    for (std::size_t r = 0; r < rows_; ++r) total += spans[r].end - spans[r].start;
    b.texts.bytes.reserve(total + kSlack);
    b.texts.offsets.reserve(rows_ + 1);
  }

  // Appends the texts of rows [r0, r1): every cell's bytes, with doubled
  // quotes made one in quoted cells that hold them.
  void text_block(Builder& b, const Bounds* spans, std::size_t r0, std::size_t r1) const {
    if (r0 == r1) return;
    StrCol& col = b.texts;
    std::size_t bound = 0;
    for (std::size_t r = r0; r < r1; ++r) bound += spans[r].end - spans[r].start;
    const char* const s = text_.data();
    const std::size_t n = text_.size();
    const std::size_t old = col.bytes.size();
    col.bytes.resize_and_overwrite(old + bound + kSlack, [&](char* out, std::size_t) {
      std::size_t at = old;
      for (std::size_t r = r0; r < r1; ++r) {
        const Bounds f = spans[r];
        const std::size_t len = f.end - f.start;
        if (len == 0) {
          if (!(b.quoted && is_quoted(f, text_))) set_missing(col.valid, r);
        } else if (b.quoted && is_quoted(f, text_) && std::memchr(s + f.start, '"', len) != nullptr) {
          for (std::size_t i = f.start; i < f.end; ++i) {
            out[at++] = s[i];
            if (s[i] == '"') ++i;  // the second quote of a pair
          }
        } else if (len <= kSlack && n - f.start >= kSlack) {
          std::memcpy(out + at, s + f.start, kSlack);  // a fixed-size move; the slack takes the excess
          at += len;
        } else {
          std::memcpy(out + at, s + f.start, len);
          at += len;
        }
        col.offsets.push_back(at);
      }
      return at;
    });
  }

  std::string_view text_;
  std::size_t rows_;
};

}  // namespace

std::vector<Col> type_columns(std::string_view text, Scanned& scanned) {
  const std::size_t width = scanned.columns.size();
  const std::size_t rows = scanned.rows;
  Typer typer(text, rows);
  std::vector<Builder> builders(width);
  for (std::size_t c = 0; c < width; ++c) {
    builders[c].quoted = scanned.quoted[c] != 0;
    typer.start(builders[c], scanned.columns[c].data());
  }

  // Rows per block, so that a block spans about kBlockBytes of text.
  const std::size_t blocks = std::max<std::size_t>(1, text.size() / kBlockBytes);
  const std::size_t per_block = std::max<std::size_t>(64, rows / blocks);
  for (std::size_t r0 = 0; r0 < rows; r0 += per_block) {
    const std::size_t r1 = std::min(rows, r0 + per_block);
    for (std::size_t c = 0; c < width; ++c) typer.block(builders[c], scanned.columns[c].data(), r0, r1);
  }

  std::vector<Col> cols;
  cols.reserve(width);
  for (std::size_t c = 0; c < width; ++c) {
    scanned.columns[c].release();
    Builder& b = builders[c];
    switch (b.kind) {
      case Kind::Int: cols.emplace_back(I64Col{std::move(b.ints), std::move(b.valid)}); break;
      case Kind::Float: cols.emplace_back(F64Col{std::move(b.floats), std::move(b.valid)}); break;
      case Kind::Text: cols.emplace_back(std::move(b.texts)); break;
    }
  }
  return cols;
}

}  // namespace kelo_frame::csv
