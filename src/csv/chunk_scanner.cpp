#include "chunk_scanner.hpp"

#include <algorithm>
#include <cstring>

namespace kelo_frame::csv {

namespace {

constexpr std::size_t kBatch = 16;  // blocks classified per call

inline std::uint64_t prefix_xor(std::uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

}  // namespace

std::size_t estimate_records(std::string_view text, std::size_t from, std::size_t width) {
  const std::size_t bytes = text.size() - from;
  const std::size_t sample = std::min<std::size_t>(bytes, std::size_t{1} << 16);
  const char* s = text.data() + from;
  // Lines that hold a byte other than a line end: blank lines are skipped by
  // the reader, so counting them would reserve room for rows that never come.
  std::size_t lines = 0;
  std::size_t line_feeds = 0;
  bool content = false;
  for (std::size_t i = 0; i < sample; ++i) {
    if (s[i] == '\n') {
      ++line_feeds;
      lines += content ? 1 : 0;
      content = false;
    } else if (s[i] != '\r') {
      content = true;
    }
  }
  if (line_feeds == 0) {  // lines ended by CR alone
    lines = 0;
    content = false;
    for (std::size_t i = 0; i < sample; ++i) {
      if (s[i] == '\r') {
        lines += content ? 1 : 0;
        content = false;
      } else {
        content = true;
      }
    }
  }
  const double scale = static_cast<double>(bytes) / static_cast<double>(std::max<std::size_t>(sample, 1));
  const std::size_t guess = static_cast<std::size_t>(static_cast<double>(lines) * scale * 1.05) + 16;
  // What the text can hold: a record of W fields takes at least W bytes (W - 1
  // separators and a line end, which the last record may lack), and a record
  // of one field at least two, since an empty line is no record.
  const std::size_t most = (bytes + 1) / std::max<std::size_t>(width, 2);
  return std::min(guess, most);
}

ChunkScanner::ChunkScanner(std::string_view text, std::size_t width, std::size_t from, std::size_t rows_hint, Keep keep)
    : text_(text),
      width_(width),
      keep_(keep),
      lists_(keep == Keep::Lists ? width : 0),
      heads_(width),
      quoted_(width, 0),
      pos_(from),
      fstart_(from) {
  grow(rows_hint);
}

bool ChunkScanner::scan_to(std::size_t stop) {
  const std::size_t n = text_.size();
  BlockMasks masks[kBatch];
  while (pos_ < stop && n - pos_ >= 64) {
    const std::size_t blocks = std::min({kBatch, (n - pos_) / 64, (stop - pos_ + 63) / 64});
    classify_blocks(text_.data() + pos_, blocks, masks);
    for (std::size_t b = 0; b < blocks; ++b, pos_ += 64) {
      if (!block(masks[b], pos_, ~std::uint64_t{0})) return false;
    }
  }
  if (finished_) return true;
  if (pos_ < n) {
    if (pos_ >= stop) return true;  // text is left for the next call
    char tail[64] = {};
    std::memcpy(tail, text_.data() + pos_, n - pos_);
    classify_blocks(tail, 1, masks);
    if (!block(masks[0], pos_, (std::uint64_t{1} << (n - pos_)) - 1)) return false;
    pos_ = n;
  }
  finished_ = true;
  if (inside_ != 0) return false;  // the text ends inside quotes
  // A last record without a line end, or a comma at the very end.
  if (col_ != 0 || fstart_ < n) return field(n, true);
  return true;
}

void ChunkScanner::next_chunk() noexcept {
  const std::size_t open = rows_ - base_;
  for (std::size_t c = 0; c < col_; ++c) heads_[c][0] = heads_[c][open];
  base_ = rows_;
}

std::vector<SpanList> ChunkScanner::take_lists() {
  for (SpanList& list : lists_) list.set_size(rows_);
  return std::move(lists_);
}

bool ChunkScanner::block(const BlockMasks& m, std::size_t at, std::uint64_t valid) {
  const std::uint64_t inside = prefix_xor(m.quote) ^ inside_;
  inside_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
  const std::uint64_t open = m.quote & inside;
  const std::uint64_t close = m.quote & ~inside;
  const std::uint64_t sep = (m.comma | m.lf | m.cr) & ~inside & valid;

  const std::uint64_t before_ok = ((sep | close) << 1) | open_ok_;
  open_ok_ = (sep | close) >> 63;
  const std::uint64_t after_close = (close << 1) | close_carry_;
  close_carry_ = close >> 63;
  if (((open & ~before_ok) | (after_close & ~(m.quote | sep) & valid)) != 0) return false;

  // The LF of a CR LF pair ends nothing more.
  const std::uint64_t lf_after_cr = m.lf & ((m.cr << 1) | cr_carry_);
  cr_carry_ = m.cr >> 63;
  std::uint64_t ends = sep & ~lf_after_cr;
  const std::uint64_t line_ends = ends & (m.lf | m.cr);
  // The per-field state lives in locals here: the stores of spans and flags
  // would otherwise make the compiler reload every member after each field.
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  const std::size_t width = width_;
  const std::size_t base = base_;
  Bounds* const* const heads = heads_.data();
  std::uint8_t* const quoted = quoted_.data();
  std::size_t col = col_;
  std::size_t fstart = fstart_;
  std::size_t rows = rows_;
  while (ends != 0) {
    const unsigned bit = static_cast<unsigned>(__builtin_ctzll(ends));
    ends &= ends - 1;
    const std::size_t end = at + bit;
    if (col >= width) return false;
    auto first = static_cast<std::uint32_t>(fstart);
    auto last = static_cast<std::uint32_t>(end);
    const bool empty = first == last;
    if (!empty && s[first] == '"') {
      ++first;
      --last;
      quoted[col] = 1;
    }
    heads[col][rows - base] = Bounds{first, last};
    ++col;
    fstart = end + 1;
    if (((line_ends >> bit) & 1) != 0) {
      if (end + 1 < n && s[end] == '\r' && s[end + 1] == '\n') fstart = end + 2;
      if (col != 1 || !empty) {  // not a blank line
        if (col != width) return false;
        if (++rows - base == capacity_) grow(capacity_ * 2);
      }
      col = 0;
    }
  }
  col_ = col;
  fstart_ = fstart;
  rows_ = rows;
  return true;
}

// The field from fstart_ ends at `at`; `record_end` when the record ends too.
bool ChunkScanner::field(std::size_t at, bool record_end) {
  if (col_ >= width_) return false;
  auto s = static_cast<std::uint32_t>(fstart_);
  auto e = static_cast<std::uint32_t>(at);
  const bool empty = s == e;
  if (!empty && text_[s] == '"') {
    ++s;
    --e;
    quoted_[col_] = 1;
  }
  heads_[col_][rows_ - base_] = Bounds{s, e};
  ++col_;
  fstart_ = at + 1;
  if (!record_end) return true;
  if (at + 1 < text_.size() && text_[at] == '\r' && text_[at + 1] == '\n') fstart_ = at + 2;
  const std::size_t fields = col_;
  col_ = 0;
  if (fields == 1 && empty) return true;  // a blank line
  if (fields != width_) return false;
  if (++rows_ - base_ == capacity_) grow(capacity_ * 2);
  return true;
}

void ChunkScanner::grow(std::size_t capacity) {
  const std::size_t old = capacity_;
  capacity_ = std::max<std::size_t>(capacity, 2);
  if (keep_ == Keep::Lists || width_ == 0) {
    for (std::size_t c = 0; c < width_; ++c) {
      lists_[c].reserve(capacity_);
      heads_[c] = lists_[c].data();
    }
    return;
  }
  // One block: it grows in place (realloc keeps the first stretch where it
  // is), then every later column's stretch moves out to its new place, the
  // last first so that none overwrites one not yet moved.
  block_.reserve(width_ * capacity_);
  Bounds* const data = block_.data();
  for (std::size_t c = width_ - 1; c > 0 && old != 0; --c) {
    std::memmove(data + c * capacity_, data + c * old, old * sizeof(Bounds));
  }
  for (std::size_t c = 0; c < width_; ++c) heads_[c] = data + c * capacity_;
}

}  // namespace kelo_frame::csv
