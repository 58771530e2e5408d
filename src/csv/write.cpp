// The CSV writer: the header line, then one line per row of the view.
//
// Everything is formatted straight into one output string: no cell becomes a
// string of its own. The string grows by projecting the final size from the
// rows written so far, so a large table is copied a handful of times at most
// while it grows. Integers go through std::to_chars, floats through
// repr::float_to, texts through the shared field writer. A text cell is
// written in quotes whenever the reader would take it for a float; most texts
// are ruled out by their first byte before the float grammar is consulted.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "field.hpp"
#include "float.hpp"
#include "repr/float.hpp"
#include "write.hpp"

namespace kelo_frame::csv {
namespace {

// Room for one i64 cell: "-9223372036854775808".
constexpr std::size_t kI64Chars = 20;
// Rows written before the first size projection, and the guess for them.
constexpr std::uint64_t kFirstRows = 1024;

// A growing output string written through a raw pointer. The string's size is
// its usable room; the written length is tracked by the caller's pointer and
// set once at the end.
class Buffer {
 public:
  explicit Buffer(std::size_t room) { s_.resize_and_overwrite(room, [](char*, std::size_t n) { return n; }); }

  [[nodiscard]] char* begin() noexcept { return s_.data(); }
  [[nodiscard]] char* end() noexcept { return s_.data() + s_.size(); }

  // Makes room for at least `need` bytes after `at` and for about `projected`
  // bytes in all; returns where `at` now is.
  char* grow(char* at, std::size_t need, std::size_t projected) {
    const auto used = static_cast<std::size_t>(at - s_.data());
    const std::size_t room = std::max({used + need, projected, used + used / 2});
    s_.resize(used);  // only the written bytes are carried over
    s_.resize_and_overwrite(room, [](char*, std::size_t n) { return n; });
    return s_.data() + used;
  }

  std::string finish(const char* at) {
    s_.resize(static_cast<std::size_t>(at - s_.data()));
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

// First bytes a float text can begin with: a digit, a sign or a point. Any
// other text is no float text, whatever follows.
constexpr bool may_be_float(char c) noexcept {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

inline char* put_text(char* out, std::string_view text) noexcept {
  if (!text.empty() && may_be_float(text[0]) && float_(text).has_value()) {
    // A float text holds no double quote, so it goes between quotes as it is.
    *out++ = '"';
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = '"';
    return out;
  }
  return put_field(out, text);
}

}  // namespace

std::string write(const Table& table) {
  std::size_t header_bytes = 1;
  for (const auto& column : table.columns) header_bytes += field_bound(column.name.size()) + 1;
  const std::uint64_t height = table.height;
  const std::size_t guess = row_guess(table);
  Buffer buf(header_bytes + static_cast<std::size_t>(std::min(height, kFirstRows)) * guess);
  char* p = buf.begin();
  char* end = buf.end();

  for (const auto& column : table.columns) {
    p = put_field(p, column.name);
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
    return buf.finish(p + height);
  }

  std::vector<Source> sources;
  sources.reserve(table.columns.size());
  for (const auto& column : table.columns) sources.push_back(source(*column.col));
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;

  // Makes room for `need` more bytes, projecting the final size from the
  // rows done so far when the buffer must grow.
  auto room = [&](std::size_t need, std::uint64_t done) {
    if (static_cast<std::size_t>(end - p) >= need) return;
    const auto used = static_cast<std::size_t>(p - buf.begin());
    const std::size_t projected =
        done == 0 ? 0 : static_cast<std::size_t>(static_cast<double>(used) / static_cast<double>(done) *
                                                  static_cast<double>(height) * 1.1);
    p = buf.grow(p, need, projected);
    end = buf.end();
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
          p = std::to_chars(p, p + kI64Chars, s.i64[row]).ptr;
          break;
        }
        case Dtype::F64: {
          room(repr::float_max_chars + 1, pos);
          p = repr::float_to(p, s.f64[row]);
          break;
        }
        case Dtype::Str: {
          const std::uint64_t from = s.offsets[row];
          const std::string_view text(s.bytes + from, static_cast<std::size_t>(s.offsets[row + 1] - from));
          room(field_bound(text.size()) + 1, pos);
          p = put_text(p, text);
          break;
        }
      }
      *p++ = ',';
    }
    p[-1] = '\n';
  }
  return buf.finish(p);
}

}  // namespace kelo_frame::csv
