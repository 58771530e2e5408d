// The fast scan works on 64-byte blocks turned into bitmasks. A running XOR of
// the quote bits gives, for every byte, whether it lies inside quotes; commas,
// CRs and LFs outside quotes end fields. That reading agrees with the exact one
// as long as every quote opens a field, closes one, or is half of a doubled
// quote inside one; this is checked on the masks (an opening quote must follow
// a separator or a closing quote, a closing quote must be followed by a
// separator, a quote or the end). Anything else, a text ending inside quotes or
// a record of the wrong width gives up, and the exact scan decides.
#include <algorithm>
#include <cstring>
#include <optional>

#include "block_masks.hpp"
#include "record_reader.hpp"
#include "scan.hpp"

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

// A guess at the number of records in [from, n): the line ends of the first
// 64 KB, scaled to the whole. The lists grow if it is short.
std::size_t estimate_records(std::string_view text, std::size_t from) {
  const std::size_t sample = std::min<std::size_t>(text.size() - from, std::size_t{1} << 16);
  const char* s = text.data() + from;
  std::size_t lines = static_cast<std::size_t>(std::count(s, s + sample, '\n'));
  if (lines == 0) lines = static_cast<std::size_t>(std::count(s, s + sample, '\r'));
  const double scale = static_cast<double>(text.size() - from) / static_cast<double>(std::max<std::size_t>(sample, 1));
  return static_cast<std::size_t>(static_cast<double>(lines) * scale * 1.05) + 16;
}

class FastScanner {
 public:
  FastScanner(std::string_view text, Scanned& out) : text_(text), out_(out), width_(out.columns.size()) {}

  // Scans the records from `from` to the end; false when it gives up.
  bool run(std::size_t from) {
    const std::size_t n = text_.size();
    grow(estimate_records(text_, from));
    fstart_ = from;
    BlockMasks masks[kBatch];
    std::size_t pos = from;
    while (n - pos >= 64) {
      const std::size_t blocks = std::min(kBatch, (n - pos) / 64);
      classify_blocks(text_.data() + pos, blocks, masks);
      for (std::size_t b = 0; b < blocks; ++b, pos += 64) {
        if (!block(masks[b], pos, ~std::uint64_t{0})) return false;
      }
    }
    if (pos < n) {
      char tail[64] = {};
      std::memcpy(tail, text_.data() + pos, n - pos);
      classify_blocks(tail, 1, masks);
      if (!block(masks[0], pos, (std::uint64_t{1} << (n - pos)) - 1)) return false;
    }
    if (inside_ != 0) return false;  // the text ends inside quotes
    // A last record without a line end, or a comma at the very end.
    if (col_ != 0 || fstart_ < n) {
      if (!field(n, true)) return false;
    }
    for (SpanList& list : out_.columns) list.set_size(rows_);
    out_.rows = rows_;
    return true;
  }

 private:
  bool block(const BlockMasks& m, std::size_t base, std::uint64_t valid) {
    const std::uint64_t inside = prefix_xor(m.quote) ^ inside_;
    inside_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
    const std::uint64_t open = m.quote & inside;
    const std::uint64_t close = m.quote & ~inside;
    const std::uint64_t sep = (m.comma | m.lf | m.cr) & ~inside & valid;

    // Every opening quote must begin a field or follow a closing quote (a
    // doubled quote); every closing quote must be followed by a separator, a
    // quote or the end of the text.
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
    while (ends != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(ends));
      ends &= ends - 1;
      if (!field(base + bit, ((line_ends >> bit) & 1) != 0)) return false;
    }
    return true;
  }

  // The field from fstart_ ends at `at`; `record_end` when the record ends too.
  bool field(std::size_t at, bool record_end) {
    if (col_ >= width_) return false;
    std::uint32_t s = static_cast<std::uint32_t>(fstart_);
    std::uint32_t e = static_cast<std::uint32_t>(at);
    const bool empty = s == e;
    if (!empty && text_[s] == '"') {
      ++s;
      --e;
      out_.quoted[col_] = 1;
    }
    lists_[col_][rows_] = Bounds{s, e};
    ++col_;
    fstart_ = at + 1;
    if (!record_end) return true;
    if (at + 1 < text_.size() && text_[at] == '\r' && text_[at + 1] == '\n') fstart_ = at + 2;
    const std::size_t fields = col_;
    col_ = 0;
    if (fields == 1 && empty) return true;  // a blank line
    if (fields != width_) return false;
    if (++rows_ == capacity_) grow(capacity_ * 2);
    return true;
  }

  void grow(std::size_t capacity) {
    capacity_ = std::max<std::size_t>(capacity, 16);
    lists_.resize(width_);
    for (std::size_t c = 0; c < width_; ++c) {
      out_.columns[c].reserve(capacity_);
      lists_[c] = out_.columns[c].data();
    }
  }

  std::string_view text_;
  Scanned& out_;
  std::size_t width_;
  std::vector<Bounds*> lists_;
  std::size_t capacity_ = 0;
  std::size_t rows_ = 0;
  std::size_t col_ = 0;
  std::size_t fstart_ = 0;
  std::uint64_t inside_ = 0;       // all ones when the last byte lies inside quotes
  std::uint64_t open_ok_ = 1;      // the last byte was a separator or closing quote (or none yet)
  std::uint64_t close_carry_ = 0;  // the last byte was a closing quote
  std::uint64_t cr_carry_ = 0;     // the last byte was a CR
};

}  // namespace

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
  FastScanner scanner(text, out);
  if (!scanner.run(reader.pos())) return std::nullopt;
  return out;
}

}  // namespace kelo_frame::csv
