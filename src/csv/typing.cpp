// Numeric columns are typed together, in blocks of rows that span about 1 MB
// of text, so that each stretch of text is brought into the cache once for all
// columns rather than once per column. A column starts as i64; the first cell
// that is no integer text turns it into f64 (the integers read so far are
// converted, not parsed again), and the first cell that is no float text
// turns it into str. Text columns are built last, each from its spans, into
// one byte buffer sized once.
#include "typing.hpp"

#include <algorithm>
#include <cstring>

#include "float.hpp"
#include "int_text.hpp"

namespace kelo_frame::csv {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

enum class Kind : std::uint8_t { Int, Float, Text };

struct Builder {
  Kind kind = Kind::Int;
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  Validity valid;
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
      to_text(b);
    }
  }

  // Reserves the column's i64 storage; blocks fill it in turn.
  void start(Builder& b) const { b.ints.reserve(rows_); }

 private:
  void set_missing(Builder& b, std::size_t r) const {
    if (b.valid.all_present()) b.valid.reserve(rows_);
    b.valid.set_missing(r);
  }

  // Returns the row of the first cell that is no integer text, or r1.
  std::size_t int_block(Builder& b, const Bounds* spans, std::size_t r0, std::size_t r1) const {
    const char* const s = text_.data();
    const char* const limit = s + text_.size();
    std::int64_t* const out = b.ints.data();
    for (std::size_t r = r0; r < r1; ++r) {
      const Bounds f = spans[r];
      if (f.start == f.end) {
        set_missing(b, r);
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
        set_missing(b, r);
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

  static void to_text(Builder& b) {
    b.kind = Kind::Text;
    b.floats = {};
    b.valid = {};
  }

  std::string_view text_;
  std::size_t rows_;
};

// The text column of one span list: every cell's bytes appended to one buffer,
// doubled quotes made one in quoted cells that hold them.
StrCol text_column(std::string_view text, const SpanList& spans, bool any_quoted) {
  const std::size_t rows = spans.size();
  const Bounds* const f = spans.data();
  const char* const s = text.data();
  std::size_t total = 0;
  for (std::size_t r = 0; r < rows; ++r) total += f[r].end - f[r].start;
  StrCol col;
  col.offsets.resize(rows + 1);
  std::uint64_t* const offsets = col.offsets.data();
  col.bytes.resize_and_overwrite(total, [&](char* out, std::size_t) {
    std::size_t at = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      const Bounds b = f[r];
      const std::size_t len = b.end - b.start;
      if (len == 0) {
        if (!(any_quoted && is_quoted(b, text))) {
          if (col.valid.all_present()) col.valid.reserve(rows);
          col.valid.set_missing(r);
        }
      } else if (any_quoted && is_quoted(b, text) && std::memchr(s + b.start, '"', len) != nullptr) {
        for (std::size_t i = b.start; i < b.end; ++i) {
          out[at++] = s[i];
          if (s[i] == '"') ++i;  // the second quote of a pair
        }
      } else {
        std::memcpy(out + at, s + b.start, len);
        at += len;
      }
      offsets[r + 1] = at;
    }
    return at;
  });
  return col;
}

}  // namespace

std::vector<Col> type_columns(std::string_view text, Scanned& scanned) {
  const std::size_t width = scanned.columns.size();
  const std::size_t rows = scanned.rows;
  Typer typer(text, rows);
  std::vector<Builder> builders(width);
  std::vector<std::size_t> numeric;  // the columns still i64 or f64
  for (std::size_t c = 0; c < width; ++c) {
    if (scanned.quoted[c] != 0) {
      builders[c].kind = Kind::Text;
    } else {
      typer.start(builders[c]);
      numeric.push_back(c);
    }
  }

  // Rows per block, so that a block spans about kBlockBytes of text.
  const std::size_t per_block =
      std::max<std::size_t>(64, rows == 0 ? 1 : rows / std::max<std::size_t>(1, text.size() / kBlockBytes));
  for (std::size_t r0 = 0; r0 < rows && !numeric.empty(); r0 += per_block) {
    const std::size_t r1 = std::min(rows, r0 + per_block);
    for (const std::size_t c : numeric) typer.block(builders[c], scanned.columns[c].data(), r0, r1);
    std::erase_if(numeric, [&](std::size_t c) { return builders[c].kind == Kind::Text; });
  }

  std::vector<Col> cols;
  cols.reserve(width);
  for (std::size_t c = 0; c < width; ++c) {
    Builder& b = builders[c];
    if (b.kind != Kind::Text) scanned.columns[c].release();
  }
  for (std::size_t c = 0; c < width; ++c) {
    Builder& b = builders[c];
    switch (b.kind) {
      case Kind::Int: cols.emplace_back(I64Col{std::move(b.ints), std::move(b.valid)}); break;
      case Kind::Float: cols.emplace_back(F64Col{std::move(b.floats), std::move(b.valid)}); break;
      case Kind::Text:
        cols.emplace_back(text_column(text, scanned.columns[c], scanned.quoted[c] != 0));
        scanned.columns[c].release();
        break;
    }
  }
  return cols;
}

}  // namespace kelo_frame::csv
