#include "import.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/date.hpp"
#include "engine/fresh_pages.hpp"
#include "engine/quote.hpp"
#include "format.hpp"
#include "fresh_append.hpp"
#include "utf8.hpp"
#include "validity_words.hpp"

namespace kelo_frame::arrow {

namespace {

// What an Arrow field's values are, as far as reading them goes.
enum class Kind : std::uint8_t { Int, UInt, Float, Utf8, LargeUtf8, StringView, Date32, Date64 };

struct Simple {
  std::string_view format;
  Kind kind;
  int width;  // bytes per value, for the fixed-width kinds
};

constexpr Simple simple_kinds[] = {
    {"c", Kind::Int, 1},       {"s", Kind::Int, 2},          {"i", Kind::Int, 4},      {"l", Kind::Int, 8},
    {"C", Kind::UInt, 1},      {"S", Kind::UInt, 2},         {"I", Kind::UInt, 4},     {"L", Kind::UInt, 8},
    {"e", Kind::Float, 2},     {"f", Kind::Float, 4},        {"g", Kind::Float, 8},    {"u", Kind::Utf8, 4},
    {"U", Kind::LargeUtf8, 8}, {"vu", Kind::StringView, 16}, {"tdD", Kind::Date32, 4}, {"tdm", Kind::Date64, 8},
};

std::optional<Simple> simple_kind(const char* format) {
  const std::string_view f = format != nullptr ? format : "";
  for (const Simple& s : simple_kinds) {
    if (s.format == f) return s;
  }
  return std::nullopt;
}

bool is_text(Kind k) { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::StringView; }

// One field of the schema: its name, how its values are read, and (for a
// dictionary-encoded field) how its indices are.
struct Field {
  std::string name;
  Simple values;
  std::optional<Simple> indices;

  [[nodiscard]] Dtype dtype() const {
    switch (values.kind) {
      case Kind::Int:
      case Kind::UInt: return Dtype::I64;
      case Kind::Float: return Dtype::F64;
      default: return Dtype::Str;
    }
  }
};

Result<Field> classify(const ArrowSchema& schema) {
  Field field{schema.name != nullptr ? schema.name : "", {}, std::nullopt};
  auto refuse = [&]() {
    return fail("column " + quoted(field.name) + " has Arrow type " + type_text(schema) +
                ", which a frame cannot hold (it holds integers, floats, strings and dates)");
  };
  const auto own = simple_kind(schema.format);
  if (!own) return refuse();
  if (schema.dictionary != nullptr) {
    const auto values = simple_kind(schema.dictionary->format);
    if (own->kind != Kind::Int && own->kind != Kind::UInt) return refuse();
    if (!values || !is_text(values->kind) || schema.dictionary->dictionary != nullptr) return refuse();
    field.values = *values;
    field.indices = *own;
    return field;
  }
  field.values = *own;
  return field;
}

Result<std::vector<Field>> classify_all(const ArrowSchema& schema) {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  if (format != "+s") {
    return fail("the Arrow data is " + type_text(schema) + ", not a struct of columns (a table or record batch)");
  }
  if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
    return fail("the Arrow schema's children are malformed");
  }
  std::vector<Field> fields;
  fields.reserve(static_cast<std::size_t>(schema.n_children));
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child == nullptr) return fail("the Arrow schema's children are malformed");
    auto field = classify(*child);
    if (!field) return fail(std::move(field.error()));
    for (const Field& f : fields) {
      if (f.name == field->name) return fail("the frame has a column " + quoted(f.name) + " already");
    }
    fields.push_back(std::move(*field));
  }
  return fields;
}

// --- reading cells ---

bool bit(const void* bitmap, std::int64_t i) noexcept {
  return ((static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1U) != 0;
}

// The validity bitmap of an array, or null when every cell is present.
const void* validity_of(const ArrowArray& a) noexcept {
  return a.null_count != 0 && a.n_buffers > 0 ? a.buffers[0] : nullptr;
}

template <class T>
T load(const void* base, std::int64_t i) noexcept {
  T v;
  std::memcpy(&v, static_cast<const char*>(base) + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
  return v;
}

// One column's cells within one batch: row p of the batch is index
// first + p of the child array, and present only if the batch row is.
struct Slice {
  const ArrowArray* child;
  const void* parent_valid;
  std::int64_t parent_first;
  std::int64_t first;
  std::int64_t length;
  std::uint64_t row0;  // the batch's first row in the table

  [[nodiscard]] bool parent_present(std::int64_t p) const noexcept {
    return parent_valid == nullptr || bit(parent_valid, parent_first + p);
  }
};

std::string at_row(const std::string& name, std::uint64_t row) {
  return "column " + quoted(name) + ", row " + std::to_string(row) + ": ";
}

double half_to_double(std::uint16_t h) noexcept {
  const bool negative = (h >> 15) != 0;
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  if (exponent == 0x1F) {
    // Infinity or NaN: the payload moves to the top of the wider mantissa.
    const std::uint64_t bits =
        (std::uint64_t{negative} << 63) | (std::uint64_t{0x7FF} << 52) | (static_cast<std::uint64_t>(mantissa) << 42);
    return std::bit_cast<double>(bits);
  }
  const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(mantissa), -24)
                                         : std::ldexp(static_cast<double>(mantissa | 0x400), exponent - 25);
  return negative ? -magnitude : magnitude;
}

template <class Out, class S>
Out widen(S v) noexcept {
  if constexpr (std::is_same_v<Out, double> && std::is_same_v<S, std::uint16_t>) {
    return half_to_double(v);
  } else {
    return static_cast<Out>(v);
  }
}

// Appends one batch's values, widened to Out: values of the column's own
// width are copied whole, others converted a step at a time.
template <class Out, class S>
void append_values(const Slice& s, std::vector<Out>& values, PagesAhead& pages) {
  const void* src = s.child->buffers[1];
  const auto n = static_cast<std::size_t>(s.length);
  if constexpr (std::is_same_v<Out, S>) {
    append_fresh(values, static_cast<const char*>(src) + s.first * static_cast<std::int64_t>(sizeof(Out)), n, pages);
  } else {
    constexpr std::size_t step = std::size_t{1} << 15;
    for (std::size_t k = 0; k < n; k += step) {
      const std::size_t m = std::min(step, n - k);
      const std::size_t old = values.size();
      pages.before(values.data(), old, old + m, values.capacity());
      values.resize(old + m);
      Out* dst = values.data() + old;
      const std::int64_t i = s.first + static_cast<std::int64_t>(k);
      for (std::size_t q = 0; q < m; ++q) dst[q] = widen<Out>(load<S>(src, i + static_cast<std::int64_t>(q)));
    }
  }
}

// Appends one batch's cells of a number column: the values, then the missing
// cells (the batch's and the column's bitmaps, a word at a time), whose
// values become zero whatever the buffer held there.
template <class Out>
Result<void> fill_numbers(const Slice& s, const Field& f, std::vector<Out>& values, ValidityWords& valid,
                          PagesAhead& pages) {
  // An empty slice has nothing to copy, and its buffers may be null.
  if (s.length == 0) return {};
  const auto n = static_cast<std::uint64_t>(s.length);
  valid.clear_absent(s.row0, s.parent_valid, static_cast<std::uint64_t>(s.parent_first), n);
  valid.clear_absent(s.row0, validity_of(*s.child), static_cast<std::uint64_t>(s.first), n);
  const Simple& k = f.values;
  if constexpr (std::is_same_v<Out, double>) {
    if (k.width == 2) append_values<Out, std::uint16_t>(s, values, pages);
    if (k.width == 4) append_values<Out, float>(s, values, pages);
    if (k.width == 8) append_values<Out, double>(s, values, pages);
  } else if (k.kind == Kind::Int) {
    if (k.width == 1) append_values<Out, std::int8_t>(s, values, pages);
    if (k.width == 2) append_values<Out, std::int16_t>(s, values, pages);
    if (k.width == 4) append_values<Out, std::int32_t>(s, values, pages);
    if (k.width == 8) append_values<Out, std::int64_t>(s, values, pages);
  } else {
    if (k.width == 1) append_values<Out, std::uint8_t>(s, values, pages);
    if (k.width == 2) append_values<Out, std::uint16_t>(s, values, pages);
    if (k.width == 4) append_values<Out, std::uint32_t>(s, values, pages);
    if (k.width == 8) {
      append_values<Out, std::uint64_t>(s, values, pages);
      // A uint64 beyond i64 has wrapped to a negative value; the first one
      // in a present cell fails.
      for (std::uint64_t p = 0; p < n; ++p) {
        const std::uint64_t row = s.row0 + p;
        if (values[row] < 0 && valid.present(row)) {
          return fail(at_row(f.name, row) + "the uint64 value " +
                      std::to_string(static_cast<std::uint64_t>(values[row])) + " does not fit i64");
        }
      }
    }
  }
  valid.each_missing(s.row0, n, [&](std::uint64_t row) {
    values[row] = Out{};
    return true;
  });
  return {};
}

// The texts of a utf8, large_utf8 or string_view array, by absolute index.
class Texts {
 public:
  Texts(const ArrowArray& a, Kind kind) : a_(a), kind_(kind), valid_(validity_of(a)) {
    if (kind == Kind::StringView) {
      // views, the variadic data buffers, then their sizes as int64
      data_buffers_ = a.n_buffers >= 3 ? a.n_buffers - 3 : -1;
    }
  }

  [[nodiscard]] bool present(std::int64_t i) const noexcept { return valid_ == nullptr || bit(valid_, i); }

  // The text at index i, or nothing if the array's buffers do not hold it.
  [[nodiscard]] std::optional<std::string_view> at(std::int64_t i) const noexcept {
    const char* data = static_cast<const char*>(a_.buffers[2]);
    if (kind_ == Kind::Utf8) {
      const auto lo = load<std::int32_t>(a_.buffers[1], i);
      const auto hi = load<std::int32_t>(a_.buffers[1], i + 1);
      if (lo < 0 || hi < lo) return std::nullopt;
      return std::string_view(data + lo, static_cast<std::size_t>(hi - lo));
    }
    if (kind_ == Kind::LargeUtf8) {
      const auto lo = load<std::int64_t>(a_.buffers[1], i);
      const auto hi = load<std::int64_t>(a_.buffers[1], i + 1);
      if (lo < 0 || hi < lo) return std::nullopt;
      return std::string_view(data + lo, static_cast<std::size_t>(hi - lo));
    }
    const char* view = static_cast<const char*>(a_.buffers[1]) + i * 16;
    const auto length = load<std::int32_t>(view, 0);
    if (length < 0) return std::nullopt;
    if (length <= 12) return std::string_view(view + 4, static_cast<std::size_t>(length));
    const auto buffer = load<std::int32_t>(view + 8, 0);
    const auto offset = load<std::int32_t>(view + 12, 0);
    if (buffer < 0 || buffer >= data_buffers_ || offset < 0) return std::nullopt;
    const auto size = load<std::int64_t>(a_.buffers[a_.n_buffers - 1], buffer);
    if (std::int64_t{offset} + length > size) return std::nullopt;
    return std::string_view(static_cast<const char*>(a_.buffers[2 + buffer]) + offset,
                            static_cast<std::size_t>(length));
  }

 private:
  const ArrowArray& a_;
  Kind kind_;
  const void* valid_;
  std::int64_t data_buffers_ = 0;
};

// Reads one batch's texts of a str column cell by cell: the text, or nothing
// for a missing cell; a failure for a cell that cannot be read.
class TextCells {
 public:
  TextCells(const Slice& s, const Field& f)
      : s_(s),
        f_(f),
        own_(*s.child, f.indices ? Kind::Int : f.values.kind),
        dict_(f.indices ? *s.child->dictionary : *s.child, f.values.kind) {
    if (f.indices) checked_.assign(static_cast<std::size_t>(s.child->dictionary->length), 0);
  }

  // Whether every text of the slice is ASCII, so no cell needs a UTF-8 check.
  [[nodiscard]] bool ascii_range() const noexcept {
    if (f_.indices || f_.values.kind == Kind::StringView || s_.length == 0) return false;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (f_.values.kind == Kind::Utf8) {
      lo = load<std::int32_t>(s_.child->buffers[1], s_.first);
      hi = load<std::int32_t>(s_.child->buffers[1], s_.first + s_.length);
    } else {
      lo = load<std::int64_t>(s_.child->buffers[1], s_.first);
      hi = load<std::int64_t>(s_.child->buffers[1], s_.first + s_.length);
    }
    if (lo < 0 || hi < lo) return false;
    return all_ascii(static_cast<const char*>(s_.child->buffers[2]) + lo, static_cast<std::size_t>(hi - lo));
  }

  Result<std::optional<std::string_view>> cell(std::int64_t p, bool check_utf8) {
    const std::int64_t i = s_.first + p;
    if (!s_.parent_present(p) || !own_.present(i)) return std::nullopt;
    const std::uint64_t row = s_.row0 + static_cast<std::uint64_t>(p);
    if (!f_.indices) {
      auto text = own_.at(i);
      if (!text) return fail(at_row(f_.name, row) + "the Arrow text's offsets are out of order or out of range");
      if (check_utf8 && !valid_utf8(*text)) return fail(at_row(f_.name, row) + "the text is not valid UTF-8");
      return text;
    }
    const std::int64_t k = dictionary_index(i);
    const ArrowArray& dict = *s_.child->dictionary;
    if (k < 0 || k >= dict.length) {
      return fail(at_row(f_.name, row) + "the dictionary index " + std::to_string(k) + " is out of range");
    }
    const std::int64_t j = dict.offset + k;
    if (!dict_.present(j)) return std::nullopt;
    auto text = dict_.at(j);
    if (!text) return fail(at_row(f_.name, row) + "the Arrow text's offsets are out of order or out of range");
    auto& state = checked_[static_cast<std::size_t>(k)];
    if (state == 0) state = valid_utf8(*text) ? 1 : 2;
    if (state == 2) return fail(at_row(f_.name, row) + "the text is not valid UTF-8");
    return text;
  }

 private:
  [[nodiscard]] std::int64_t dictionary_index(std::int64_t i) const noexcept {
    const void* b = s_.child->buffers[1];
    const bool is_signed = f_.indices->kind == Kind::Int;
    switch (f_.indices->width) {
      case 1: return is_signed ? load<std::int8_t>(b, i) : load<std::uint8_t>(b, i);
      case 2: return is_signed ? load<std::int16_t>(b, i) : load<std::uint16_t>(b, i);
      case 4: return is_signed ? load<std::int32_t>(b, i) : static_cast<std::int64_t>(load<std::uint32_t>(b, i));
      default: {
        const auto v = load<std::uint64_t>(b, i);
        return is_signed || v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? static_cast<std::int64_t>(v)
                   : -1;
      }
    }
  }

  const Slice& s_;
  const Field& f_;
  Texts own_;
  Texts dict_;
  std::vector<std::uint8_t> checked_;  // per dictionary entry: 0 unchecked, 1 valid, 2 invalid UTF-8
};

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
Date civil_from_days(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return Date{static_cast<std::int32_t>(std::clamp<std::int64_t>(y, -1, 10000)), static_cast<std::int32_t>(m),
              static_cast<std::int32_t>(d)};
}

// The days of a date32 or date64 cell (date64 counts milliseconds).
std::int64_t days_of(const Slice& s, const Field& f, std::int64_t i) noexcept {
  if (f.values.kind == Kind::Date32) return load<std::int32_t>(s.child->buffers[1], i);
  const auto ms = load<std::int64_t>(s.child->buffers[1], i);
  constexpr std::int64_t day = 86'400'000;
  return ms / day - (ms % day < 0 ? 1 : 0);
}

void put_digits(char* out, int value, int count) noexcept {
  for (int k = count - 1; k >= 0; --k) {
    out[k] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// Appends one batch's dates as texts (its missing cells are marked already).
Result<void> fill_dates(const Slice& s, const Field& f, StrCol& out, const ValidityWords& valid) {
  for (std::int64_t p = 0; p < s.length; ++p) {
    const std::int64_t i = s.first + p;
    const std::uint64_t row = s.row0 + static_cast<std::uint64_t>(p);
    if (!valid.present(row)) {
      out.offsets.push_back(out.bytes.size());
      continue;
    }
    const std::int64_t days = days_of(s, f, i);
    // Dates beyond the four-digit years are refused, not written in a form
    // that the date parts would not read.
    constexpr std::int64_t first_day = -719162;  // 0001-01-01
    constexpr std::int64_t last_day = 2932896;   // 9999-12-31
    if (days < first_day || days > last_day) {
      return fail(at_row(f.name, row) + "the " + type_name(f.values.format) + " value is " + std::to_string(days) +
                  " days from 1970-01-01, outside the years 1 to 9999");
    }
    const Date d = civil_from_days(days);
    char text[10];
    put_digits(text, d.year, 4);
    text[4] = '-';
    put_digits(text + 5, d.month, 2);
    text[7] = '-';
    put_digits(text + 8, d.day, 2);
    out.bytes.append(text, sizeof text);
    out.offsets.push_back(out.bytes.size());
  }
  return {};
}

// Appends one batch's texts cell by cell: the exact path, which every kind of
// text column can take and which names the row of any fault.
Result<void> fill_cells(const Slice& s, const Field& f, StrCol& out, ValidityWords& valid) {
  TextCells cells(s, f);
  const bool check = !cells.ascii_range();
  for (std::int64_t p = 0; p < s.length; ++p) {
    auto text = cells.cell(p, check);
    if (!text) return fail(std::move(text.error()));
    if (!*text) {
      valid.set_missing(s.row0 + static_cast<std::uint64_t>(p));
    } else {
      out.bytes.append(**text);
    }
    out.offsets.push_back(out.bytes.size());
  }
  return {};
}

// The offsets and bytes of one batch's cells of a utf8 or large_utf8 column
// (not dictionary-encoded): cells first to first + length span data[lo, hi).
struct Run {
  const void* offsets;
  bool large;
  const char* data;
  std::int64_t lo;
  std::int64_t hi;

  [[nodiscard]] std::int64_t at(std::int64_t i) const noexcept {
    return large ? load<std::int64_t>(offsets, i) : std::int64_t{load<std::int32_t>(offsets, i)};
  }
};

// The run of a batch that can be read whole, or nothing when it must be read
// cell by cell.
std::optional<Run> run_of(const Slice& s, const Field& f) {
  if (f.indices || s.length == 0) return std::nullopt;
  if (f.values.kind != Kind::Utf8 && f.values.kind != Kind::LargeUtf8) return std::nullopt;
  Run run{s.child->buffers[1], f.values.kind == Kind::LargeUtf8, static_cast<const char*>(s.child->buffers[2]), 0, 0};
  run.lo = run.at(s.first);
  run.hi = run.at(s.first + s.length);
  if (run.lo < 0 || run.hi < run.lo) return std::nullopt;
  return run;
}

// Appends the offsets of cells first to first + length rebased to start at
// base, a step at a time, each step checked to be in order first. False, with
// nothing appended, when they are not.
template <class O>
bool rebase_offsets(const Slice& s, const Run& run, std::uint64_t base, StrCol& out, PagesAhead& pages) {
  const std::size_t keep = out.offsets.size();
  constexpr std::int64_t step = 4096;
  for (std::int64_t k = 1; k <= s.length; k += step) {
    const std::int64_t m = std::min(step, s.length + 1 - k);
    const std::int64_t i = s.first + k;
    bool ordered = true;
    for (std::int64_t q = 0; q < m; ++q) ordered &= load<O>(run.offsets, i + q) >= load<O>(run.offsets, i + q - 1);
    if (!ordered) {
      out.offsets.resize(keep);
      return false;
    }
    const std::size_t old = out.offsets.size();
    pages.before(out.offsets.data(), old, old + static_cast<std::size_t>(m), out.offsets.capacity());
    out.offsets.resize(old + static_cast<std::size_t>(m));
    std::uint64_t* dst = out.offsets.data() + old;
    for (std::int64_t q = 0; q < m; ++q) {
      dst[q] = base + static_cast<std::uint64_t>(std::int64_t{load<O>(run.offsets, i + q)} - run.lo);
    }
  }
  return true;
}

// Whether every cell of a run that is not all ASCII is valid UTF-8: the whole
// run is, and no cell starts inside a character (then each cell is whole
// characters).
bool cells_utf8(const Slice& s, const Run& run) {
  if (!valid_utf8(std::string_view(run.data + run.lo, static_cast<std::size_t>(run.hi - run.lo)))) return false;
  for (std::int64_t p = 1; p < s.length; ++p) {
    const std::int64_t o = run.at(s.first + p);
    if (o < run.hi && (static_cast<unsigned char>(run.data[o]) & 0xC0U) == 0x80U) return false;
  }
  return true;
}

// Appends one batch's texts whole: offsets rebased in one pass, the bytes in
// one copy checked for ASCII on the way (and as UTF-8 where they are not).
// False, with nothing appended, when a cell needs the exact path: offsets out
// of order, a missing cell that holds bytes, or a text that is not UTF-8.
bool fill_run(const Slice& s, const Run& run, StrCol& out, const ValidityWords& valid, PagesAhead& offset_pages,
              PagesAhead& byte_pages) {
  const std::size_t keep = out.offsets.size();
  const std::uint64_t base = out.bytes.size();
  const bool ordered = run.large ? rebase_offsets<std::int64_t>(s, run, base, out, offset_pages)
                                 : rebase_offsets<std::int32_t>(s, run, base, out, offset_pages);
  if (!ordered) return false;
  const bool empty_missing = valid.each_missing(s.row0, static_cast<std::uint64_t>(s.length), [&](std::uint64_t row) {
    const std::int64_t i = s.first + static_cast<std::int64_t>(row - s.row0);
    return run.at(i + 1) == run.at(i);
  });
  bool ascii = true;
  if (empty_missing) {
    append_fresh(out.bytes, run.data + run.lo, static_cast<std::size_t>(run.hi - run.lo), byte_pages,
                 [&](const char* step, std::size_t size) { ascii = ascii && all_ascii(step, size); });
  }
  if (!empty_missing || (!ascii && !cells_utf8(s, run))) {
    out.offsets.resize(keep);
    out.bytes.resize(base);
    return false;
  }
  return true;
}

// --- building columns ---

class Batches {
 public:
  Batches() = default;
  Batches(const Batches&) = delete;
  Batches& operator=(const Batches&) = delete;
  ~Batches() {
    for (ArrowArray& a : owned_) {
      if (a.release != nullptr) a.release(&a);
    }
  }
  // Takes over a batch (its release runs with this object's end).
  void own(const ArrowArray& a) {
    owned_.push_back(a);
    list_.push_back(&owned_.back());
  }
  // Lists a batch that stays the caller's.
  void borrow(const ArrowArray& a) { list_.push_back(&a); }
  [[nodiscard]] const std::vector<const ArrowArray*>& list() const noexcept { return list_; }

 private:
  std::deque<ArrowArray> owned_;  // stable addresses as it grows
  std::vector<const ArrowArray*> list_;
};

Result<void> check_layout(const std::vector<Field>& fields, const ArrowArray& batch) {
  if (batch.n_children != static_cast<std::int64_t>(fields.size()) ||
      (batch.n_children > 0 && batch.children == nullptr) || batch.length < 0 || batch.offset < 0) {
    return fail("an Arrow record batch does not match its schema");
  }
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const ArrowArray* c = batch.children[j];
    const Field& f = fields[j];
    const bool offsets = !f.indices && (f.values.kind == Kind::Utf8 || f.values.kind == Kind::LargeUtf8);
    const std::int64_t want_buffers = offsets ? 3 : 2;
    const bool view = !f.indices && f.values.kind == Kind::StringView;
    if (c == nullptr || c->offset < 0 || c->length < batch.offset + batch.length ||
        (view ? c->n_buffers < 3 : c->n_buffers != want_buffers) || (f.indices && c->dictionary == nullptr)) {
      return fail("column " + quoted(f.name) + ": an Arrow record batch does not match its schema");
    }
    if (f.indices) {
      const ArrowArray& d = *c->dictionary;
      const bool dict_view = f.values.kind == Kind::StringView;
      if (d.offset < 0 || d.length < 0 || (dict_view ? d.n_buffers < 3 : d.n_buffers != 3)) {
        return fail("column " + quoted(f.name) + ": an Arrow dictionary does not match its schema");
      }
    }
  }
  return {};
}

Slice slice_of(const ArrowArray& batch, std::size_t j, std::uint64_t row0) {
  const ArrowArray* c = batch.children[j];
  return Slice{c, validity_of(batch), batch.offset, c->offset + batch.offset, batch.length, row0};
}

template <class Out>
Result<Col> build_numbers(const Field& f, const std::vector<const ArrowArray*>& batches, std::size_t j,
                          std::uint64_t height) {
  NumCol<Out> out;
  reserve_fresh(out.values, height);
  ValidityWords valid(height);
  PagesAhead pages;
  std::uint64_t row0 = 0;
  for (const ArrowArray* b : batches) {
    if (auto ok = fill_numbers<Out>(slice_of(*b, j, row0), f, out.values, valid, pages); !ok) {
      return fail(std::move(ok.error()));
    }
    row0 += static_cast<std::uint64_t>(b->length);
  }
  out.valid = valid.finish();
  return Col(std::move(out));
}

Result<Col> build_texts(const Field& f, const std::vector<const ArrowArray*>& batches, std::size_t j,
                        std::uint64_t height) {
  const bool dates = f.values.kind == Kind::Date32 || f.values.kind == Kind::Date64;
  // First a bound on the bytes, so that they are laid out once: a whole run's
  // span, or the sum of the present cells read one by one.
  std::uint64_t total = 0;
  std::uint64_t row0 = 0;
  for (const ArrowArray* b : batches) {
    const Slice s = slice_of(*b, j, row0);
    if (dates) {
      total += 10 * static_cast<std::uint64_t>(s.length);
    } else if (const auto run = run_of(s, f)) {
      total += static_cast<std::uint64_t>(run->hi - run->lo);
    } else {
      TextCells cells(s, f);
      for (std::int64_t p = 0; p < s.length; ++p) {
        auto text = cells.cell(p, false);
        if (!text) return fail(std::move(text.error()));
        if (*text) total += (*text)->size();
      }
    }
    row0 += static_cast<std::uint64_t>(b->length);
  }
  StrCol out;
  reserve_fresh(out.offsets, height + 1);
  reserve_fresh(out.bytes, total);
  ValidityWords valid(height);
  PagesAhead offset_pages;
  PagesAhead byte_pages;
  row0 = 0;
  for (const ArrowArray* b : batches) {
    const Slice s = slice_of(*b, j, row0);
    const auto n = static_cast<std::uint64_t>(s.length);
    if (n != 0) {
      valid.clear_absent(row0, s.parent_valid, static_cast<std::uint64_t>(s.parent_first), n);
      valid.clear_absent(row0, validity_of(*s.child), static_cast<std::uint64_t>(s.first), n);
    }
    if (dates) {
      if (auto ok = fill_dates(s, f, out, valid); !ok) return fail(std::move(ok.error()));
    } else {
      const auto run = run_of(s, f);
      if (!run || !fill_run(s, *run, out, valid, offset_pages, byte_pages)) {
        if (auto ok = fill_cells(s, f, out, valid); !ok) return fail(std::move(ok.error()));
      }
    }
    row0 += n;
  }
  out.valid = valid.finish();
  return Col(std::move(out));
}

Result<Table> build(const std::vector<Field>& fields, const std::vector<const ArrowArray*>& batches) {
  std::uint64_t height = 0;
  for (const ArrowArray* b : batches) {
    if (auto ok = check_layout(fields, *b); !ok) return fail(std::move(ok.error()));
    height += static_cast<std::uint64_t>(b->length);
  }
  if (height > max_rows) {
    return fail("the Arrow data has " + std::to_string(height) + " rows; a frame holds at most " +
                std::to_string(max_rows) + " rows");
  }
  Table table;
  table.height = height;
  table.columns.reserve(fields.size());
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const Field& f = fields[j];
    Result<Col> col = f.dtype() == Dtype::I64   ? build_numbers<std::int64_t>(f, batches, j, height)
                      : f.dtype() == Dtype::F64 ? build_numbers<double>(f, batches, j, height)
                                                : build_texts(f, batches, j, height);
    if (!col) return fail(std::move(col.error()));
    table.columns.push_back(Column{f.name, Rc<Col>::make(std::move(*col))});
  }
  return table;
}

std::string stream_failure(ArrowArrayStream& stream, int code, std::string_view what) {
  const char* detail = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  std::string message =
      "the Arrow stream failed to give its " + std::string(what) + " (error " + std::to_string(code) + ")";
  if (detail != nullptr) message += ": " + std::string(detail);
  return message;
}

}  // namespace

Result<Table> import_stream(ArrowArrayStream& stream) {
  ArrowSchema schema{};
  if (const int code = stream.get_schema(&stream, &schema); code != 0) {
    return fail(stream_failure(stream, code, "schema"));
  }
  auto fields = classify_all(schema);
  if (schema.release != nullptr) schema.release(&schema);
  if (!fields) return fail(std::move(fields.error()));
  Batches batches;
  for (;;) {
    ArrowArray batch{};
    if (const int code = stream.get_next(&stream, &batch); code != 0) {
      return fail(stream_failure(stream, code, "next record batch"));
    }
    if (batch.release == nullptr) break;
    batches.own(batch);
  }
  return build(*fields, batches.list());
}

Result<Table> import_batch(const ArrowSchema& schema, const ArrowArray& batch) {
  auto fields = classify_all(schema);
  if (!fields) return fail(std::move(fields.error()));
  return build(*fields, {&batch});
}

}  // namespace kelo_frame::arrow
