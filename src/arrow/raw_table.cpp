#include "raw_table.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "engine/fresh_pages.hpp"
#include "engine/quote.hpp"
#include "fresh_append.hpp"
#include "utf8.hpp"

namespace kelo_frame::arrow {

static_assert(std::endian::native == std::endian::little,
              "raw column buffers (and Arrow buffers) are written in little-endian order");

namespace {

template <class T>
std::span<const std::uint8_t> as_bytes(const std::vector<T>& v) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T)};
}

std::string corrupt(const std::string& name, std::string_view what) {
  return "the pickled column " + quoted(name) + " is corrupt: " + std::string(what);
}

// The validity words, checked and brought to the table's form: bits past the
// height set, trailing words without a missing cell dropped.
Result<Validity> read_validity(const RawColumn& raw, std::uint64_t height) {
  const std::uint64_t max_words = (height + 63) / 64;
  if (raw.validity.size() % 8 != 0 || raw.validity.size() / 8 > max_words) {
    return fail(corrupt(raw.name, "its validity words do not fit its rows"));
  }
  std::vector<std::uint64_t> words(raw.validity.size() / 8);
  if (!words.empty()) std::memcpy(words.data(), raw.validity.data(), raw.validity.size());
  if (!words.empty() && height % 64 != 0 && words.size() == max_words) {
    words.back() |= ~std::uint64_t{0} << (height % 64);
  }
  return Validity::from_words(std::move(words));
}

// Calls f(row) for each missing row in order while it returns true; false
// when f stopped it. Bits past the height are set, so every row is in range.
template <class F>
bool each_missing(const Validity& valid, F&& f) {
  const std::vector<std::uint64_t>& words = valid.words();
  for (std::size_t k = 0; k < words.size(); ++k) {
    for (std::uint64_t missing = ~words[k]; missing != 0; missing &= missing - 1) {
      if (!f(k * 64 + static_cast<std::size_t>(std::countr_zero(missing)))) return false;
    }
  }
  return true;
}

template <class T>
Result<Col> read_numbers(const RawColumn& raw, std::uint64_t height) {
  if (raw.main.size() != height * sizeof(T) || !raw.bytes.empty()) {
    return fail(corrupt(raw.name, "its values do not fit its rows"));
  }
  auto valid = read_validity(raw, height);
  if (!valid) return fail(std::move(valid.error()));
  NumCol<T> out;
  reserve_fresh(out.values, height);
  PagesAhead pages;
  append_fresh(out.values, raw.main.data(), height, pages);
  // A missing cell keeps a zero value, whatever the buffer held there.
  each_missing(*valid, [&](std::size_t r) {
    out.values[r] = T{};
    return true;
  });
  out.valid = std::move(*valid);
  return Col(std::move(out));
}

// The first fault of a text column row by row, once the whole-column checks
// found one: a missing cell that holds text, or a present one that is not
// UTF-8.
Result<void> first_text_fault(const RawColumn& raw, const StrCol& col, const Validity& valid) {
  for (std::uint64_t r = 0; r < col.size(); ++r) {
    if (!valid.present(r)) {
      if (col.offsets[r + 1] != col.offsets[r]) return fail(corrupt(raw.name, "a missing cell holds text"));
    } else if (!valid_utf8(col.at(r))) {
      return fail(corrupt(raw.name, "row " + std::to_string(r) + " is not valid UTF-8"));
    }
  }
  return {};
}

Result<Col> read_texts(const RawColumn& raw, std::uint64_t height) {
  if (raw.main.size() != (height + 1) * 8) return fail(corrupt(raw.name, "its offsets do not fit its rows"));
  auto valid = read_validity(raw, height);
  if (!valid) return fail(std::move(valid.error()));
  StrCol out;
  out.offsets.clear();
  reserve_fresh(out.offsets, height + 1);
  PagesAhead pages;
  // Every offset is checked before any cell is read: with the ends pinned,
  // offsets in order keep every cell inside the bytes.
  bool ordered = true;
  std::uint64_t last = 0;
  append_fresh(out.offsets, raw.main.data(), height + 1, pages, [&](const std::uint64_t* step, std::size_t m) {
    bool in_order = step[0] >= last;
    for (std::size_t q = 1; q < m; ++q) in_order &= step[q] >= step[q - 1];
    ordered = ordered && in_order;
    last = step[m - 1];
  });
  if (out.offsets[0] != 0 || out.offsets[height] != raw.bytes.size()) {
    return fail(corrupt(raw.name, "its offsets do not span its bytes"));
  }
  if (!ordered) return fail(corrupt(raw.name, "its offsets are out of order"));
  reserve_fresh(out.bytes, raw.bytes.size());
  bool ascii = true;
  append_fresh(out.bytes, raw.bytes.data(), raw.bytes.size(), pages,
               [&](const char* step, std::size_t m) { ascii = ascii && all_ascii(step, m); });
  // Missing cells hold nothing, and the texts are UTF-8: the bytes as a whole
  // are, and no cell starts inside a character.
  bool sound = each_missing(*valid, [&](std::size_t r) { return out.offsets[r + 1] == out.offsets[r]; });
  if (sound && !ascii) {
    sound = valid_utf8(out.bytes);
    for (std::uint64_t r = 1; sound && r < height; ++r) {
      const std::uint64_t o = out.offsets[r];
      sound = o >= out.bytes.size() || (static_cast<unsigned char>(out.bytes[o]) & 0xC0U) != 0x80U;
    }
  }
  if (!sound) {
    if (auto fault = first_text_fault(raw, out, *valid); !fault) return fail(std::move(fault.error()));
  }
  out.valid = std::move(*valid);
  return Col(std::move(out));
}

}  // namespace

Table stored(const Table& table) {
  if (!table.index) return table;
  Table out;
  out.height = table.height;
  out.columns.reserve(table.columns.size());
  for (const Column& c : table.columns)
    out.columns.push_back(Column{c.name, Rc<Col>::make(gather(*c.col, *table.index))});
  return out;
}

std::vector<RawColumn> raw_columns(const Table& table) {
  std::vector<RawColumn> out;
  out.reserve(table.columns.size());
  for (const Column& c : table.columns) {
    RawColumn raw{c.name, dtype(*c.col), {}, {}, {}};
    std::visit(
        [&](const auto& col) {
          raw.validity = as_bytes(col.valid.words());
          if constexpr (std::is_same_v<std::decay_t<decltype(col)>, StrCol>) {
            raw.main = as_bytes(col.offsets);
            raw.bytes = {reinterpret_cast<const std::uint8_t*>(col.bytes.data()), col.bytes.size()};
          } else {
            raw.main = as_bytes(col.values);
          }
        },
        *c.col);
    out.push_back(std::move(raw));
  }
  return out;
}

Result<Table> table_from_raw(std::uint64_t height, std::span<const RawColumn> columns) {
  if (height > max_rows) return fail("the pickled frame claims " + std::to_string(height) + " rows, beyond any frame");
  Table table;
  table.height = height;
  table.columns.reserve(columns.size());
  for (const RawColumn& raw : columns) {
    for (const Column& c : table.columns) {
      if (c.name == raw.name) return fail("the frame has a column " + quoted(raw.name) + " already");
    }
    Result<Col> col = raw.dtype == Dtype::F64   ? read_numbers<double>(raw, height)
                      : raw.dtype == Dtype::I64 ? read_numbers<std::int64_t>(raw, height)
                                                : read_texts(raw, height);
    if (!col) return fail(std::move(col.error()));
    table.columns.push_back(Column{raw.name, Rc<Col>::make(std::move(*col))});
  }
  return table;
}

}  // namespace kelo_frame::arrow
