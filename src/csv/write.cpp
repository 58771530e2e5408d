// The CSV writer: the header line, then one line per row of the view.
//
// Everything is formatted straight into one output area that the caller's
// sink owns (for to_csv, the returned str itself): no cell becomes a string
// of its own, and the text is never copied once written. The area grows by
// projecting the final size from the rows written so far; its pages are
// asked of the kernel a run at a time ahead of the writer. Integers below
// 10^16 are one or two words of digits, floats go through
// repr::float_to_padded. Texts of up to 32 bytes are copied as two whole
// blocks and checked in the same registers; longer ones, and short ones that
// need quotes, go through the shared field writer. A text cell is written in
// quotes whenever the reader would take it for a float; most texts are ruled
// out by their first byte or a quick look at their bytes before the float
// grammar is consulted. Text bytes are also checked for ASCII on the way,
// which lets the caller skip decoding.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/ascii_digits.hpp"
#include "engine/fresh_pages.hpp"
#include "engine/pow10.hpp"
#include "field.hpp"
#include "float.hpp"
#include "repr/digits.hpp"
#include "repr/float.hpp"
#include "write.hpp"

namespace kelo_frame::csv {
namespace {

// Room for one i64 cell: "-9223372036854775808".
constexpr std::size_t kI64Chars = 20;
// Rows written before the first size projection, and the guess for them.
constexpr std::uint64_t kFirstRows = 1024;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A growing output area in the caller's sink, written through a raw pointer.
// Its size is its usable room; the written length is tracked by the caller's
// pointer, so growing carries over only the written bytes. The writer sees
// the room only up to `ready`, the end of the pages made so far: reaching it
// makes the next run of pages (see make_pages) before moving it on.
class Buffer {
 public:
  // Bytes of pages made at a time: small enough to stay in the cache between
  // the kernel's zeroing and the writer's bytes.
  static constexpr std::size_t kRun = std::size_t{512} << 10;

  // The first room is ready in full: the header is written without checks.
  Buffer(Sink& sink, std::size_t room) : sink_(sink), begin_(sink.resize(0, room)), end_(begin_ + room) {
    ready_ = advance(begin_, room);
  }

  [[nodiscard]] char* begin() const noexcept { return begin_; }
  [[nodiscard]] char* end() const noexcept { return ready_; }

  // Makes room for at least `need` bytes after `at` and for about `projected`
  // bytes in all; returns where `at` now is.
  char* grow(char* at, std::size_t need, std::size_t projected) {
    if (static_cast<std::size_t>(end_ - at) < need) {
      const auto used = static_cast<std::size_t>(at - begin_);
      const std::size_t room = std::max({used + need, projected, used + used / 2});
      begin_ = sink_.resize(used, room);
      end_ = begin_ + room;
      at = begin_ + used;
    }
    ready_ = advance(at, need);
    return at;
  }

 private:
  // Makes the pages for the next run (and at least `need` bytes) after at;
  // returns the run's end.
  char* advance(char* at, std::size_t need) const noexcept {
    const auto left = static_cast<std::size_t>(end_ - at);
    char* const to = at + std::min(left, std::max(need, kRun));
    make_pages(at, to);
    return to;
  }

  Sink& sink_;
  char* begin_;
  char* end_;
  char* ready_ = nullptr;
};

// The sink of write(): a std::string whose size is the room, taken without
// filling it (resize_and_overwrite).
class StringSink final : public Sink {
 public:
  char* resize(std::size_t keep, std::size_t size) override {
    s_.resize(keep);  // only the kept bytes are carried over
    s_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
    return s_.data();
  }

  std::string finish(std::size_t size) {
    s_.resize(size);
    return std::move(s_);
  }

 private:
  std::string s_;
};

// One column as the row loop reads it: raw pointers into its storage.
struct Source {
  Dtype dtype = Dtype::I64;
  const double* f64 = nullptr;
  const std::int64_t* i64 = nullptr;
  const std::uint64_t* offsets = nullptr;
  const char* bytes = nullptr;
  std::uint64_t byte_count = 0;
  const std::uint64_t* valid = nullptr;  // validity words; rows past them are present
  std::size_t valid_words = 0;

  [[nodiscard]] bool missing(std::uint32_t row) const noexcept {
    const std::size_t w = row >> 6;
    return w < valid_words && ((valid[w] >> (row & 63)) & 1U) == 0;
  }
};

Source source(const Col& col) {
  return std::visit(
      [](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        Source s;
        s.valid = c.valid.words().data();
        s.valid_words = c.valid.words().size();
        if constexpr (std::is_same_v<C, F64Col>) {
          s.dtype = Dtype::F64;
          s.f64 = c.values.data();
        } else if constexpr (std::is_same_v<C, I64Col>) {
          s.dtype = Dtype::I64;
          s.i64 = c.values.data();
        } else {
          s.dtype = Dtype::Str;
          s.offsets = c.offsets.data();
          s.bytes = c.bytes.data();
          s.byte_count = c.bytes.size();
        }
        return s;
      },
      col);
}

// A rough bytes-per-row guess used only to size the buffer for the first rows.
std::size_t row_guess(const Table& table) {
  std::size_t n = 0;
  for (const auto& column : table.columns) {
    const Col& col = *column.col;
    switch (dtype(col)) {
      case Dtype::F64: n += 20; break;
      case Dtype::I64: n += 12; break;
      case Dtype::Str: {
        const auto& s = std::get<StrCol>(col);
        n += (s.size() == 0 ? 0 : s.bytes.size() / s.size()) + 4;
        break;
      }
    }
  }
  return n + 1;
}

constexpr bool is_letter(char c, char lower) noexcept { return (c | 0x20) == lower; }

// False when the text cannot be a float text: a float text is a sign and a
// word (inf, infinity, nan), or an optional sign then digits, points and
// 'e'/'E', with a sign only right after the 'e'. This only rules texts out
// cheaply (names, dates, notes); csv::float_ decides the rest.
inline bool may_be_float(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (*p == '+' || *p == '-') {
    if (++p == end) return false;
    if (is_letter(*p, 'i') || is_letter(*p, 'n')) return true;
  } else if (!is_digit(*p) && *p != '.') {
    return false;
  }
  char prev = 0;
  for (; p != end; prev = *p++) {
    const char c = *p;
    if (is_digit(c) || c == '.' || is_letter(c, 'e')) continue;
    if ((c == '+' || c == '-') && is_letter(prev, 'e')) continue;
    return false;
  }
  return true;
}

inline char* put_text(char* out, std::string_view text, std::size_t readable) noexcept {
  if (!text.empty() && may_be_float(text) && float_(text).has_value()) {
    // A float text holds no double quote, so it goes between quotes as it is.
    *out++ = '"';
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = '"';
    return out;
  }
  return put_field(out, text, readable);
}

// Room a text cell asks for beyond its bound: a short text is copied as whole
// 16-byte blocks (below), a longer one with put_field's slack.
constexpr std::size_t kTextSlack = 32;
static_assert(kTextSlack >= field_slack);

#if defined(__SSE2__)
// Texts of 1 to 32 bytes (most cells) with 32 bytes readable are copied as
// two whole 16-byte blocks, and their flags found in the same registers; the
// length only masks the flags, so no branch follows it (lengths vary from
// cell to cell, and such branches are mispredicted often).
struct BlockText {
  std::uint32_t special;  // bit i: byte i is a comma, a double quote, a CR or an LF
  std::uint32_t high;     // bit i: byte i is above 0x7F
};

inline BlockText copy_block_text(char* out, const char* text, std::size_t n) noexcept {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), a);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), b);
  const auto mine = static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1);
  return {.special = (field::special_lanes(a) | field::special_lanes(b) << 16) & mine,
          .high = static_cast<std::uint32_t>(_mm_movemask_epi8(a) | _mm_movemask_epi8(b) << 16) & mine};
}
#endif

// True when a text with this first byte can be written as it is, unless it
// holds a byte to quote for or is a float text: a printable ASCII byte that
// is not white space. Other first bytes take the general path, which checks
// for (wide) white space.
constexpr bool plain_lead(char c) noexcept { return static_cast<unsigned char>(c) - 0x21U < 0x5EU; }

// The last n digits (1 to 8) of x < 10^8, leading zeros included where x
// has fewer, stored as one word at out (8 bytes written).
inline char* put_word_tail(char* out, std::uint64_t x, int n) noexcept {
  std::uint64_t w = (repr::digit_word(x) | 0x3030303030303030U) >> (8 * (8 - n));
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  std::memcpy(out, &w, 8);
  return out + n;
}

// Writes an integer in decimal: below 10^8 (most data) the digits are one
// word made at once, its leading zeros shifted out, stored whole; below 10^16
// (ids, timestamps) two such words. Longer ones are written two digits at a
// time from the right. out has room for kI64Chars bytes.
inline char* put_i64(char* out, std::int64_t value) noexcept {
  auto u = static_cast<std::uint64_t>(value);
  if (value < 0) {
    *out++ = '-';
    u = 0 - u;
  }
  const int n = decimal_digits(u | 1);  // u | 1 has u's digit count, and 0 has one digit
  if (u < kPow10[8]) return put_word_tail(out, u, n);
  if (u < kPow10[16]) {
    const std::uint64_t high = u / kPow10[8];
    out = put_word_tail(out, high, n - 8);
    return put_word_tail(out, u - high * kPow10[8], 8);
  }
  char* const end = out + n;
  char* q = end;
  while (u >= 100) {
    q -= 2;
    std::memcpy(q, &repr::kPairs[2 * (u % 100)], 2);
    u /= 100;
  }
  if (u >= 10) {
    std::memcpy(q - 2, &repr::kPairs[2 * u], 2);
  } else {
    q[-1] = static_cast<char>('0' + u);
  }
  return end;
}

// The high bits of the n bytes at p (nonzero when one of them is not ASCII).
// `readable` bytes may be read from p (at least n): with 8 of them a short
// text is one masked word.
inline std::uint64_t high_bits(const char* p, std::size_t n, std::size_t readable) noexcept {
  constexpr std::uint64_t kHighs = 0x8080808080808080U;
  std::uint64_t w = 0;
  if (n < 8) {
    if (n == 0) return 0;
    if (readable >= 8) {
      std::memcpy(&w, p, 8);
      std::uint64_t mine = ~std::uint64_t{0} >> (64 - 8 * n);
      if constexpr (std::endian::native == std::endian::big) mine = std::byteswap(mine);
      return w & mine & kHighs;
    }
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    return acc & 0x80U;
  }
  std::uint64_t acc = 0;
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  std::memcpy(&w, p + n - 8, 8);  // the last word, overlapping the one before
  return (acc | w) & kHighs;
}

}  // namespace

Written write_into(const Table& table, Sink& sink) {
  std::size_t header_bytes = 1;
  for (const auto& column : table.columns) header_bytes += field_bound(column.name.size()) + 1;
  header_bytes += field_slack;
  const std::uint64_t height = table.height;
  const std::size_t guess = row_guess(table);
  Buffer buf(sink, header_bytes + static_cast<std::size_t>(std::min(height, kFirstRows)) * guess);
  char* p = buf.begin();
  char* end = buf.end();

  // High bits of every byte that came from a text (names and text cells):
  // numbers are ASCII by construction.
  std::uint64_t high = 0;
  for (const auto& column : table.columns) {
    const std::string_view name = column.name;
    high |= high_bits(name.data(), name.size(), name.size());
    // A first name that begins with U+FEFF would begin the text with the bytes
    // of a byte-order mark, which the reader removes: quoting it keeps the name.
    const bool first = &column == &table.columns.front();
    p = first && name.starts_with(kByteOrderMark) ? put_quoted(p, name) : put_field(p, name, name.size());
    *p++ = ',';
  }
  if (table.columns.empty()) {
    // No cells: the header and every row are empty lines.
    ++p;
  }
  p[-1] = '\n';
  if (table.columns.empty()) {
    if (static_cast<std::uint64_t>(end - p) < height) p = buf.grow(p, static_cast<std::size_t>(height), 0);
    std::memset(p, '\n', static_cast<std::size_t>(height));
    return {.size = static_cast<std::size_t>(p + height - buf.begin()), .ascii = high == 0};
  }

  std::vector<Source> sources;
  sources.reserve(table.columns.size());
  for (const auto& column : table.columns) sources.push_back(source(*column.col));
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;

  // Makes room for `need` more bytes. The common case, enough room, is one
  // inline test; growing projects the final size from the rows done so far.
  const auto grow = [&](std::size_t need, std::uint64_t done) {
    const auto used = static_cast<std::size_t>(p - buf.begin());
    const std::size_t projected = done == 0
                                      ? 0
                                      : static_cast<std::size_t>(static_cast<double>(used) / static_cast<double>(done) *
                                                                 static_cast<double>(height) * 1.1);
    p = buf.grow(p, need, projected);
    end = buf.end();
  };
  const auto room = [&] [[gnu::always_inline]] (std::size_t need, std::uint64_t done) {
    if (static_cast<std::size_t>(end - p) < need) [[unlikely]]
      grow(need, done);
  };

  for (std::uint64_t pos = 0; pos < height; ++pos) {
    const std::uint32_t row = index != nullptr ? index[pos] : static_cast<std::uint32_t>(pos);
    for (const Source& s : sources) {
      if (s.missing(row)) {
        room(1, pos);
        *p++ = ',';
        continue;
      }
      switch (s.dtype) {
        case Dtype::I64: {
          room(kI64Chars + 1, pos);
          p = put_i64(p, s.i64[row]);
          break;
        }
        case Dtype::F64: {
          room(repr::float_write_room + 1, pos);
          p = repr::float_to_padded(p, s.f64[row]);
          break;
        }
        case Dtype::Str: {
          const std::uint64_t from = s.offsets[row];
          const std::string_view text(s.bytes + from, static_cast<std::size_t>(s.offsets[row + 1] - from));
          room(field_bound(text.size()) + 1 + kTextSlack, pos);
          const auto readable = static_cast<std::size_t>(s.byte_count - from);
#if defined(__SSE2__)
          if (text.size() - 1 < 32 && readable >= 32) {
            const BlockText flags = copy_block_text(p, text.data(), text.size());
            high |= flags.high;
            if (flags.special == 0 && plain_lead(text.front()) && !(may_be_float(text) && float_(text).has_value()))
                [[likely]] {
              p += text.size();
            } else {
              p = put_text(p, text, readable);
            }
            break;
          }
#endif
          high |= high_bits(text.data(), text.size(), readable);
          p = put_text(p, text, readable);
          break;
        }
      }
      *p++ = ',';
    }
    p[-1] = '\n';
  }
  return {.size = static_cast<std::size_t>(p - buf.begin()), .ascii = high == 0};
}

std::string write(const Table& table) {
  StringSink sink;
  const Written written = write_into(table, sink);
  return sink.finish(written.size);
}

}  // namespace kelo_frame::csv
