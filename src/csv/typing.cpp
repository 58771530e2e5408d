#include "typing.hpp"

#include <algorithm>
#include <cstring>

#include "engine/prefetch.hpp"
#include "float.hpp"
#include "int_text.hpp"

namespace kelo_frame::csv {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// Slack past the last text of a block, so that short texts are copied with
// fixed-size moves that may write a little beyond them.
constexpr std::size_t kSlack = 16;
// How many rows ahead the text of a cell is prefetched.
constexpr std::size_t kAhead = 64;

}  // namespace

std::size_t text_bytes(const Bounds* spans, std::size_t count) noexcept {
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += spans[i].end - spans[i].start;
  return total;
}

std::size_t rows_per_block(std::size_t text_bytes, std::size_t rows) {
  const std::size_t blocks = std::max<std::size_t>(1, text_bytes / kBlockBytes);
  return std::max<std::size_t>(64, rows / blocks);
}

void ColumnBuilder::set_missing(Validity& valid, std::size_t r) {
  if (valid.all_present()) valid.reserve(std::max(rows_hint_, r + 1));
  valid.set_missing(r);
}

bool ColumnBuilder::add(const Bounds* spans, std::size_t base, std::size_t r1) {
  if (kind_ == Kind::Int) {
    if (ints_.capacity() == 0) ints_.reserve(rows_hint_);
    values_ahead_.before(ints_.data(), ints_.size(), r1, ints_.capacity());
    ints_.resize(r1);  // within the reserved room: only these rows' pages are touched
    const std::size_t k = add_ints(spans, base, r1);
    if (k == r1) {
      done_ = r1;
      return true;
    }
    to_float(k);
  }
  if (kind_ == Kind::Float) {
    values_ahead_.before(floats_.data(), floats_.size(), r1, floats_.capacity());
    floats_.resize(r1);
    const std::size_t k = add_floats(spans, base, r1);
    if (k == r1) {
      done_ = r1;
      return true;
    }
    // The rows at hand tell the length of a text on average.
    make_text(text_bytes(spans + (done_ - base), r1 - done_), r1 - done_);
  }
  if (base != 0) return false;
  add_texts(spans, 0, r1);
  return true;
}

std::size_t ColumnBuilder::add_ints(const Bounds* spans, std::size_t base, std::size_t r1) {
  const char* const s = text_.data();
  const char* const limit = s + text_.size();
  std::int64_t* const out = ints_.data();
  const Bounds* const f = spans - base;  // f[r]: the field of row r
  const std::size_t ahead = r1 > kAhead ? r1 - kAhead : 0;
  for (std::size_t r = done_; r < r1; ++r) {
    if (r < ahead) prefetch(s + f[r + kAhead].start);
    const Bounds b = f[r];
    if (b.start == b.end) {
      set_missing(valid_, r);
      continue;
    }
    if (!parse_int(s + b.start, s + b.end, limit, out[r])) return r;
    if (out[r] == 0 && s[b.start] == '-') negative_zeros_.push_back(r);
  }
  return r1;
}

std::size_t ColumnBuilder::add_floats(const Bounds* spans, std::size_t base, std::size_t r1) {
  double* const out = floats_.data();
  const Bounds* const f = spans - base;
  for (std::size_t r = done_; r < r1; ++r) {
    const Bounds b = f[r];
    if (b.start == b.end) {
      set_missing(valid_, r);
      continue;
    }
    const auto value = float_(text_.substr(b.start, b.end - b.start));
    if (!value) return r;
    out[r] = *value;
  }
  return r1;
}

// The i64 column becomes f64 at row k: the first k cells are converted to the
// nearest float, and a zero written with '-' becomes negative zero.
void ColumnBuilder::to_float(std::size_t k) {
  kind_ = Kind::Float;
  floats_.reserve(std::max(rows_hint_, ints_.size()));
  floats_.resize(k);
  for (std::size_t r = 0; r < k; ++r) floats_[r] = static_cast<double>(ints_[r]);
  for (const std::size_t r : negative_zeros_) floats_[r] = -0.0;
  ints_ = {};
  negative_zeros_ = {};
  done_ = k;
}

void ColumnBuilder::make_text(std::size_t sample_bytes, std::size_t sample_rows) {
  kind_ = Kind::Text;
  ints_ = {};
  floats_ = {};
  negative_zeros_ = {};
  valid_ = {};
  done_ = 0;
  const double per_row = static_cast<double>(sample_bytes) / static_cast<double>(std::max<std::size_t>(1, sample_rows));
  // A column's texts are never more bytes than the whole text.
  const double guess = std::min(per_row * 1.1 * static_cast<double>(rows_hint_), static_cast<double>(text_.size()));
  texts_ = std::make_unique<Texts>();
  StrCol& col = texts_->col;
  col.bytes.reserve(static_cast<std::size_t>(guess) + kSlack);
  col.offsets.reserve(rows_hint_ + 1);
}

void ColumnBuilder::add_texts(const Bounds* spans, std::size_t base, std::size_t r1) {
  if (done_ >= r1) return;
  const Bounds* const f = spans - base;
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  std::size_t bound = 0;
  for (std::size_t r = done_; r < r1; ++r) bound += f[r].end - f[r].start;
  StrCol& col = texts_->col;
  const std::size_t old = col.bytes.size();
  texts_->bytes_ahead.before(col.bytes.data(), old, old + bound + kSlack, col.bytes.capacity());
  texts_->offsets_ahead.before(col.offsets.data(), col.offsets.size(), col.offsets.size() + (r1 - done_),
                               col.offsets.capacity());
  col.bytes.resize_and_overwrite(old + bound + kSlack, [&](char* out, std::size_t) {
    std::size_t at = old;
    const std::size_t ahead = r1 > kAhead ? r1 - kAhead : 0;
    for (std::size_t r = done_; r < r1; ++r) {
      if (r < ahead) prefetch(s + f[r + kAhead].start);
      const Bounds b = f[r];
      const std::size_t len = b.end - b.start;
      if (len == 0) {
        if (!is_quoted(b, text_)) set_missing(col.valid, r);
      } else if (is_quoted(b, text_) && std::memchr(s + b.start, '"', len) != nullptr) {
        // A quoted field holding doubled quotes (a field that is not quoted
        // begins after a separator, never after a quote).
        for (std::size_t i = b.start; i < b.end; ++i) {
          out[at++] = s[i];
          if (s[i] == '"') ++i;  // the second quote of a pair
        }
      } else if (len <= kSlack && n - b.start >= kSlack) {
        std::memcpy(out + at, s + b.start, kSlack);  // a fixed-size move; the slack takes the excess
        at += len;
      } else {
        std::memcpy(out + at, s + b.start, len);
        at += len;
      }
      col.offsets.push_back(at);
    }
    return at;
  });
  done_ = r1;
}

Col ColumnBuilder::finish() && {
  switch (kind_) {
    case Kind::Int: return I64Col{std::move(ints_), std::move(valid_)};
    case Kind::Float: return F64Col{std::move(floats_), std::move(valid_)};
    case Kind::Text: break;
  }
  return std::move(texts_->col);
}

std::vector<Rc<Col>> type_columns(std::string_view text, Scanned& scanned) {
  const std::size_t width = scanned.columns.size();
  const std::size_t rows = scanned.rows;
  std::vector<ColumnBuilder> builders = ColumnBuilder::many(width, text, rows);
  for (std::size_t c = 0; c < width; ++c) {
    if (scanned.quoted[c] != 0) builders[c].make_text(text_bytes(scanned.columns[c].data(), rows), rows);
  }
  const std::size_t per_block = rows_per_block(text.size(), rows);
  for (std::size_t r0 = 0; r0 < rows; r0 += per_block) {
    const std::size_t r1 = std::min(rows, r0 + per_block);
    for (std::size_t c = 0; c < width; ++c) {
      ColumnBuilder& b = builders[c];
      if (b.kind() == ColumnBuilder::Kind::Text) {
        b.add_texts(scanned.columns[c].data(), 0, r1);
      } else {
        (void)b.add(scanned.columns[c].data(), 0, r1);  // base 0: never needs more
      }
    }
  }
  std::vector<Rc<Col>> cols;
  cols.reserve(width);
  for (std::size_t c = 0; c < width; ++c) {
    scanned.columns[c].release();
    cols.push_back(Rc<Col>::make(std::move(builders[c]).finish()));
  }
  return cols;
}

}  // namespace kelo_frame::csv
