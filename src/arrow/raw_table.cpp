#include "raw_table.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "engine/quote.hpp"
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
  while (!words.empty() && words.back() == ~std::uint64_t{0}) words.pop_back();
  Validity valid;
  valid.reserve(words.size() * 64);
  for (std::size_t k = 0; k < words.size(); ++k) {
    std::uint64_t missing = ~words[k];
    while (missing != 0) {
      valid.set_missing(k * 64 + static_cast<std::size_t>(std::countr_zero(missing)));
      missing &= missing - 1;
    }
  }
  return valid;
}

template <class T>
Result<Col> read_numbers(const RawColumn& raw, std::uint64_t height) {
  if (raw.main.size() != height * sizeof(T) || !raw.bytes.empty()) {
    return fail(corrupt(raw.name, "its values do not fit its rows"));
  }
  auto valid = read_validity(raw, height);
  if (!valid) return fail(std::move(valid.error()));
  NumCol<T> out;
  out.values.resize(height);
  if (height != 0) std::memcpy(out.values.data(), raw.main.data(), raw.main.size());
  // A missing cell keeps a zero value, whatever the buffer held there.
  for (std::size_t r = 0; r < valid->words().size() * 64 && r < height; ++r) {
    if (!valid->present(r)) out.values[r] = T{};
  }
  out.valid = std::move(*valid);
  return Col(std::move(out));
}

Result<Col> read_texts(const RawColumn& raw, std::uint64_t height) {
  if (raw.main.size() != (height + 1) * 8) return fail(corrupt(raw.name, "its offsets do not fit its rows"));
  auto valid = read_validity(raw, height);
  if (!valid) return fail(std::move(valid.error()));
  StrCol out;
  out.offsets.resize(height + 1);
  std::memcpy(out.offsets.data(), raw.main.data(), raw.main.size());
  if (out.offsets[0] != 0 || out.offsets[height] != raw.bytes.size()) {
    return fail(corrupt(raw.name, "its offsets do not span its bytes"));
  }
  out.bytes.assign(reinterpret_cast<const char*>(raw.bytes.data()), raw.bytes.size());
  // Every offset is checked before any cell is read: with the ends pinned,
  // offsets in order keep every cell inside the bytes.
  for (std::uint64_t r = 0; r < height; ++r) {
    if (out.offsets[r + 1] < out.offsets[r]) return fail(corrupt(raw.name, "its offsets are out of order"));
  }
  const bool ascii = all_ascii(out.bytes.data(), out.bytes.size());
  for (std::uint64_t r = 0; r < height; ++r) {
    if (!valid->present(r)) {
      if (out.offsets[r + 1] != out.offsets[r]) return fail(corrupt(raw.name, "a missing cell holds text"));
    } else if (!ascii && !valid_utf8(out.at(r))) {
      return fail(corrupt(raw.name, "row " + std::to_string(r) + " is not valid UTF-8"));
    }
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
