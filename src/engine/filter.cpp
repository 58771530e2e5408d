// Filters: keep the rows whose cell in one column passes a test.
//
// Every filter walks the positions of the view once, reads the cell at each
// row number, and appends the row numbers that pass to the kept list, which
// becomes the new table's row index (Table::over). Missing cells never pass.
//
// The scan loops are instantiated per test and per shape of the input (with or
// without a row index, with or without missing cells), and append without a
// branch: the row number is always written and the count advances by the
// test's outcome. Membership tests on a table without a row index instead
// turn runs of 64 cells into bitmasks with vector instructions
// (match_masks.hpp) and visit only the set bits; a long list of values is a
// hash set (value_set.hpp), probed once per cell.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "fresh_pages.hpp"
#include "match_masks.hpp"
#include "prefetch.hpp"
#include "quote.hpp"
#include "table.hpp"
#include "value_set.hpp"

namespace kelo_frame {

namespace {

// Positions are scanned in blocks; the kept row numbers of one block are
// written to a small buffer and then appended to the kept list, so the hot
// loop never checks the list's capacity.
constexpr std::size_t block = 2048;

// pass(r) tests the cell at row r; near(r) is the address of the data that
// the test reads first, asked for ahead of time through a row index.
template <bool Indexed, bool AllPresent, class Pass, class Near>
RowIndex scan(const Table& table, const Validity& valid, const Pass& pass, const Near& near) {
  const std::uint64_t height = table.height;
  const std::uint32_t* index = Indexed ? table.index->data() : nullptr;
  RowIndex kept;
  PagesAhead pages;                         // the kept list's fresh pages a megabyte at a time, not a fault each
  std::array<std::uint32_t, block> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (std::uint64_t start = 0; start < height; start += block) {
    const std::uint64_t end = std::min<std::uint64_t>(height, start + block);
    std::size_t n = 0;
    for (std::uint64_t p = start; p < end; ++p) {
      const std::uint32_t r = Indexed ? index[p] : static_cast<std::uint32_t>(p);
      if constexpr (Indexed) {
        if (p + prefetch_distance < height) prefetch(near(index[p + prefetch_distance]));
      }
      buffer[n] = r;
      if constexpr (AllPresent) {
        n += static_cast<std::size_t>(pass(r));
      } else {
        n += static_cast<std::size_t>(pass(r)) & static_cast<std::size_t>(valid.present(r));
      }
    }
    if (kept.empty() && n != 0) {
      // Guess the final size from the first block's share of kept rows.
      const std::uint64_t guess = (height / (end - start) + 1) * n;
      kept.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(height, guess)));
    }
    pages.before(kept.data(), kept.size(), kept.size() + n, kept.capacity());
    kept.insert(kept.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return kept;
}

// The rows of the view whose cell is present and passes.
template <class Pass, class Near>
RowIndex kept_rows(const Table& table, const Validity& valid, const Pass& pass, const Near& near) {
  const bool all_present = valid.all_present();
  if (table.index) {
    return all_present ? scan<true, true>(table, valid, pass, near) : scan<true, false>(table, valid, pass, near);
  }
  return all_present ? scan<false, true>(table, valid, pass, near) : scan<false, false>(table, valid, pass, near);
}

// The rows of a table without a row index whose cell is present and set in
// the match masks: masks(start, rows, out) fills the masks of the rows
// [start, start + rows), and verify(r) settles a row whose bit is set (the
// masks of text cells see only their first 8 bytes). The masks are combined
// with the validity 64 rows at a time, and only the set bits are visited.
template <class Masks, class Verify>
RowIndex kept_by_masks(const Table& table, const Validity& valid, const Masks& masks, const Verify& verify) {
  constexpr std::size_t words_per_block = block / 64;
  const std::uint64_t height = table.height;
  const std::vector<std::uint64_t>& present = valid.words();
  RowIndex kept;
  PagesAhead pages;
  std::array<std::uint64_t, words_per_block> found;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::array<std::uint32_t, block> buffer;           // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (std::uint64_t start = 0; start < height; start += block) {
    const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(height - start, block));
    masks(start, rows, found.data());
    std::size_t n = 0;
    for (std::size_t w = 0; w * 64 < rows; ++w) {
      const std::uint64_t word = start / 64 + w;
      std::uint64_t bits = found[w] & (word < present.size() ? present[word] : ~std::uint64_t{0});
      while (bits != 0) {
        const auto r = static_cast<std::uint32_t>(start + w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
        buffer[n] = r;
        n += static_cast<std::size_t>(verify(r));
        bits &= bits - 1;
      }
    }
    if (kept.empty() && n != 0) {
      const std::uint64_t guess = (height / rows + 1) * n;
      kept.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(height, guess)));
    }
    pages.before(kept.data(), kept.size(), kept.size() + n, kept.capacity());
    kept.insert(kept.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return kept;
}

constexpr auto settled = [](std::uint32_t) { return true; };

// Numeric tests. Each is a small function object over one cell value, so the
// scan loop is compiled once per operator.

template <Cmp Op, class T>
struct Compare {
  T value;
  bool operator()(T c) const noexcept {
    if constexpr (Op == Cmp::Eq) {
      return c == value;
    } else if constexpr (Op == Cmp::Ne) {
      return c != value;
    } else if constexpr (Op == Cmp::Lt) {
      return c < value;
    } else if constexpr (Op == Cmp::Le) {
      return c <= value;
    } else if constexpr (Op == Cmp::Gt) {
      return c > value;
    } else {
      return c >= value;
    }
  }
};

template <class T, class Test>
RowIndex kept_num(const Table& table, const NumCol<T>& column, const Test& test) {
  const T* values = column.values.data();
  return kept_rows(
      table, column.valid, [values, test](std::uint32_t r) { return test(values[r]); },
      [values](std::uint32_t r) { return values + r; });
}

template <class T>
RowIndex kept_by_cmp(const Table& table, const NumCol<T>& column, Cmp op, T value) {
  switch (op) {
    case Cmp::Eq: return kept_num(table, column, Compare<Cmp::Eq, T>{value});
    case Cmp::Ne: return kept_num(table, column, Compare<Cmp::Ne, T>{value});
    case Cmp::Lt: return kept_num(table, column, Compare<Cmp::Lt, T>{value});
    case Cmp::Le: return kept_num(table, column, Compare<Cmp::Le, T>{value});
    case Cmp::Gt: return kept_num(table, column, Compare<Cmp::Gt, T>{value});
    case Cmp::Ge: return kept_num(table, column, Compare<Cmp::Ge, T>{value});
  }
  return {};
}

// Every present cell, or none.
template <class T>
RowIndex kept_all(const Table& table, const NumCol<T>& column, bool all) {
  if (!all) return {};
  return kept_rows(table, column.valid, [](std::uint32_t) { return true; }, [](std::uint32_t) { return nullptr; });
}

constexpr double two_63 = 9223372036854775808.0;

// An integer cell against a float value, exactly. The value is reduced to an
// integer bound and the operator to one that gives the same answer on every
// integer, so no integer is ever converted to a float:
//   c <  v  <=>  c <= floor(v) when v has a fraction, else c < v
//   c <= v  <=>  c <= floor(v)
//   c >  v  <=>  c >  floor(v)
//   c >= v  <=>  c >  floor(v) when v has a fraction, else c >= v
//   c == v  <=>  never when v has a fraction, else c == v
RowIndex where_i64(const Table& table, const I64Col& column, Cmp op, double v) {
  if (std::isnan(v)) return kept_all(table, column, op == Cmp::Ne);
  // Beyond the range of 64-bit integers every cell is on one side of v.
  if (v >= two_63 || v < -two_63) {
    const bool above = v >= two_63;  // every cell is less than v
    switch (op) {
      case Cmp::Eq: return {};
      case Cmp::Ne: return kept_all(table, column, true);
      case Cmp::Lt:
      case Cmp::Le: return kept_all(table, column, above);
      case Cmp::Gt:
      case Cmp::Ge: return kept_all(table, column, !above);
    }
  }
  const double whole = std::floor(v);
  const auto f = static_cast<std::int64_t>(whole);  // exact: -2**63 <= whole < 2**63
  const bool fraction = whole != v;
  switch (op) {
    case Cmp::Eq: return fraction ? RowIndex{} : kept_by_cmp(table, column, Cmp::Eq, f);
    case Cmp::Ne: return fraction ? kept_all(table, column, true) : kept_by_cmp(table, column, Cmp::Ne, f);
    case Cmp::Lt: return kept_by_cmp(table, column, fraction ? Cmp::Le : Cmp::Lt, f);
    case Cmp::Le: return kept_by_cmp(table, column, Cmp::Le, f);
    case Cmp::Gt: return kept_by_cmp(table, column, Cmp::Gt, f);
    case Cmp::Ge: return kept_by_cmp(table, column, fraction ? Cmp::Gt : Cmp::Ge, f);
  }
  return {};
}

// Membership in a short list of values. In storage order through match masks;
// through a row index one comparison per value, combined without branches,
// with lists of one or two values in their own loops.
template <class T>
RowIndex kept_among(const Table& table, const NumCol<T>& column, std::span<const T> values) {
  if (values.empty()) return {};
  if (!table.index) {
    const T* cells = column.values.data();
    return kept_by_masks(
        table, column.valid,
        [cells, values](std::uint64_t start, std::size_t rows, std::uint64_t* out) {
          among_masks(cells + start, rows, values, out);
        },
        settled);
  }
  switch (values.size()) {
    case 1: return kept_num(table, column, Compare<Cmp::Eq, T>{values[0]});
    case 2: {
      const T a = values[0];
      const T b = values[1];
      return kept_num(table, column, [a, b](T c) { return (c == a) | (c == b); });
    }
    default:
      return kept_num(table, column, [values](T c) {
        bool match = false;
        for (const T v : values) match |= c == v;
        return match;
      });
  }
}

// Membership in the distinct values of a set: one probe per cell.
template <class T>
RowIndex kept_in_set(const Table& table, const NumCol<T>& column, const NumSet& set) {
  if (!table.index) {
    const T* cells = column.values.data();
    return kept_by_masks(
        table, column.valid,
        [cells, &set](std::uint64_t start, std::size_t rows, std::uint64_t* out) {
          set.masks(cells + start, rows, out);
        },
        settled);
  }
  return kept_num(table, column, [&set](T c) { return set.contains(NumSet::key_of(c)); });
}

// Membership in a list of wanted values (already reduced to those a cell can
// equal): a short list through match masks, each value once; a long one
// through a set, unless its repeats leave few distinct values.
template <class T>
RowIndex kept_among_any(const Table& table, const NumCol<T>& column, std::vector<T> wanted) {
  if (wanted.size() < set_threshold) {
    std::vector<T> distinct;
    for (const T v : wanted) {
      if (std::find(distinct.begin(), distinct.end(), v) == distinct.end()) distinct.push_back(v);
    }
    return kept_among<T>(table, column, distinct);
  }
  const NumSet set{std::span<const T>(wanted)};
  if (set.size() >= set_threshold) return kept_in_set(table, column, set);
  std::vector<T> distinct;
  distinct.reserve(set.size());
  for (const std::uint64_t key : set.keys()) distinct.push_back(std::bit_cast<T>(key));
  return kept_among<T>(table, column, distinct);
}

// The integers that a list of floats can equal: whole values within the range
// of 64-bit integers.
std::vector<std::int64_t> integer_values(std::span<const double> values) {
  std::vector<std::int64_t> out;
  out.reserve(values.size());
  for (const double v : values) {
    if (!(v >= -two_63 && v < two_63) || std::floor(v) != v) continue;  // NaN fails the range test
    out.push_back(static_cast<std::int64_t>(v));
  }
  return out;
}

// The floats that a cell can equal: NaN equals nothing, and the two zeros are
// one value.
std::vector<double> float_values(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (const double v : values) {
    if (!std::isnan(v)) out.push_back(v == 0.0 ? 0.0 : v);
  }
  return out;
}

// Text membership. Each wanted text is held as its length and its first 16
// bytes in two words, zero-padded; a cell's first 16 bytes are loaded the same
// way, so when every wanted text is at most 16 bytes long (Short) a cell is
// settled by three integer comparisons per wanted text, without a branch.
// Longer wanted texts compare their other bytes when the first 16 match.
class TextMatch {
 public:
  static constexpr std::size_t head_bytes = 16;

  // wanted: a short list of texts (strings or views); repeats are dropped.
  template <class Texts>
  TextMatch(const StrCol& column, const Texts& wanted)
      : offsets_(column.offsets.data()), bytes_(column.bytes.data()), size_(column.bytes.size()) {
    for (const std::string_view v : wanted) {
      const bool seen = std::any_of(wanted_.begin(), wanted_.end(), [&v](const Wanted& w) { return w.text == v; });
      if (seen) continue;
      Wanted w{v, {0, 0}};
      std::memcpy(w.head.data(), v.data(), std::min(v.size(), head_bytes));
      wanted_.push_back(w);
      lengths_ |= std::uint64_t{1} << std::min<std::size_t>(v.size(), 63);
      short_ = short_ && v.size() <= head_bytes;
    }
  }

  [[nodiscard]] bool empty() const noexcept { return wanted_.empty(); }
  [[nodiscard]] bool all_short() const noexcept { return short_; }

  // Each wanted text's length and first 8 bytes, for text_masks.
  [[nodiscard]] std::vector<TextKey> keys() const {
    std::vector<TextKey> out;
    out.reserve(wanted_.size());
    for (const Wanted& w : wanted_) out.push_back(text_key(w.text.data(), w.text.size()));
    return out;
  }
  // Whether a wanted text is longer than its key's 8 bytes.
  [[nodiscard]] bool any_long() const noexcept {
    return std::any_of(wanted_.begin(), wanted_.end(), [](const Wanted& w) { return w.text.size() > 8; });
  }

  // Whether the cell at row r is one of the wanted texts. Gate: test the
  // length before reading the bytes.
  template <bool Short, bool Gate>
  [[nodiscard]] bool operator()(std::uint32_t r) const noexcept {
    const std::uint64_t begin = offsets_[r];
    const std::uint64_t length = offsets_[r + 1] - begin;
    if constexpr (Gate) {
      if (((lengths_ >> std::min<std::uint64_t>(length, 63)) & 1U) == 0) return false;
    }
    if constexpr (Short) {
      if (length > head_bytes) return false;
    }
    const Head head = load_head(begin, length);
    bool match = false;
    for (const Wanted& w : wanted_) {
      bool same =
          static_cast<bool>(static_cast<unsigned>(length == w.text.size()) &
                            static_cast<unsigned>(head[0] == w.head[0]) & static_cast<unsigned>(head[1] == w.head[1]));
      if constexpr (!Short) {
        if (same && length > head_bytes) {
          same = std::memcmp(bytes_ + begin + head_bytes, w.text.data() + head_bytes, length - head_bytes) == 0;
        }
      }
      match |= same;
    }
    return match;
  }

 private:
  using Head = std::array<std::uint64_t, 2>;

  struct Wanted {
    std::string_view text;
    Head head;
  };

  // The cell's first min(length, 16) bytes, zero-padded. A whole 16 bytes are
  // read when the column's bytes reach that far, and the bytes past the cell
  // are masked off.
  [[nodiscard]] Head load_head(std::uint64_t begin, std::uint64_t length) const noexcept {
    Head head{0, 0};
    if (begin + head_bytes > size_) {
      std::memcpy(head.data(), bytes_ + begin, static_cast<std::size_t>(std::min<std::uint64_t>(length, head_bytes)));
      return head;
    }
    std::memcpy(head.data(), bytes_ + begin, head_bytes);
    if (length < head_bytes) {
      const auto& mask = masks[length];
      head[0] &= mask[0];
      head[1] &= mask[1];
    }
    return head;
  }

  // masks[n] keeps the first n bytes of 16 in memory order.
  static constexpr std::array<Head, head_bytes> masks = [] {
    std::array<Head, head_bytes> out{};
    for (std::size_t n = 0; n < head_bytes; ++n) {
      std::array<unsigned char, head_bytes> bytes{};
      for (std::size_t i = 0; i < n; ++i) bytes[i] = 0xff;
      out[n] = std::bit_cast<Head>(bytes);
    }
    return out;
  }();

  const std::uint64_t* offsets_;
  const char* bytes_;
  std::size_t size_;
  std::vector<Wanted> wanted_;
  std::uint64_t lengths_ = 0;  // bit min(length, 63) set for each wanted text's length
  bool short_ = true;
};

template <bool Short, bool Gate>
RowIndex kept_in(const Table& table, const StrCol& column, const TextMatch& match) {
  const std::uint64_t* offsets = column.offsets.data();
  return kept_rows(
      table, column.valid, [&match](std::uint32_t r) { return match.operator()<Short, Gate>(r); },
      [offsets](std::uint32_t r) { return offsets + r; });
}

// In storage order every cell's length and first 8 bytes are compared four
// cells at a time (text_masks), and only cells longer than 8 bytes that pass
// are compared in full. Through a row index each cell is a cache miss, so
// most cells are settled by their length alone.
RowIndex kept_in(const Table& table, const StrCol& column, const TextMatch& match) {
  if (match.empty()) return {};
  if (table.index) {
    return match.all_short() ? kept_in<true, true>(table, column, match) : kept_in<false, true>(table, column, match);
  }
  const std::vector<TextKey> keys = match.keys();
  const auto masks = [&column, &keys](std::uint64_t start, std::size_t rows, std::uint64_t* out) {
    text_masks(column.offsets.data() + start, rows, column.bytes.data(), column.bytes.size(), keys, out);
  };
  if (!match.any_long()) return kept_by_masks(table, column.valid, masks, settled);
  const std::uint64_t* offsets = column.offsets.data();
  return kept_by_masks(table, column.valid, masks, [offsets, &match](std::uint32_t r) {
    return offsets[r + 1] - offsets[r] <= 8 || match.operator()<false, false>(r);
  });
}

// A long list of texts goes into a set, and unless its repeats leave few
// distinct texts, each cell is one screen test (TextScreen). Measured on 1e6
// cells of 7 bytes, the set takes 3.5 ms of processor time at any length up
// to 1,000 texts; the masks' cost grows with each text (1.7 ms for 8 texts,
// 2.7 ms for 16, 3.6 ms for 24); the two meet near 20.
constexpr std::size_t text_set_threshold = 20;

RowIndex kept_in(const Table& table, const StrCol& column, std::span<const std::string> wanted) {
  if (wanted.size() < text_set_threshold) return kept_in(table, column, TextMatch(column, wanted));
  const TextSet set(wanted);
  if (set.size() < text_set_threshold) return kept_in(table, column, TextMatch(column, set.texts()));
  const std::uint64_t* offsets = column.offsets.data();
  const char* bytes = column.bytes.data();
  if (!table.index) {
    return kept_by_masks(
        table, column.valid,
        [offsets, bytes, size = column.bytes.size(), &set](std::uint64_t start, std::size_t rows, std::uint64_t* out) {
          set.masks(offsets + start, rows, bytes, size, out);
        },
        settled);
  }
  return kept_rows(
      table, column.valid,
      [offsets, bytes, &set](std::uint32_t r) {
        return set.contains(
            std::string_view(bytes + offsets[r], static_cast<std::size_t>(offsets[r + 1] - offsets[r])));
      },
      [offsets](std::uint32_t r) { return offsets + r; });
}

}  // namespace

Result<Table> Table::where_num(std::string_view name, Cmp op, double value) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  const Col& column = **found;
  if (const auto* f = std::get_if<F64Col>(&column)) {
    // IEEE comparison is already the wanted test: NaN compares unequal to
    // everything and the two zeros are equal.
    return over(kept_by_cmp(*this, *f, op, value));
  }
  if (const auto* i = std::get_if<I64Col>(&column)) return over(where_i64(*this, *i, op, value));
  return fail("column " + quoted(name) + " is str: compare it with where_is or where_in");
}

Result<Table> Table::where_among(std::string_view name, std::span<const double> values) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  const Col& column = **found;
  if (const auto* f = std::get_if<F64Col>(&column)) {
    return over(kept_among_any<double>(*this, *f, float_values(values)));
  }
  if (const auto* i = std::get_if<I64Col>(&column)) {
    return over(kept_among_any<std::int64_t>(*this, *i, integer_values(values)));
  }
  return fail("column " + quoted(name) + " is str: where_in takes its strings");
}

Result<Table> Table::where_in(std::string_view name, std::span<const std::string> values) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  const Col& column = **found;
  if (const auto* s = std::get_if<StrCol>(&column)) return over(kept_in(*this, *s, values));
  return fail("column " + quoted(name) + " is " + std::string(dtype_name(column)) +
              ": where_is and where_in take a str column");
}

}  // namespace kelo_frame
