// Filters: keep the rows whose cell in one column passes a test.
//
// Every filter walks the positions of the view once, reads the cell at each
// row number, and appends the row numbers that pass to the kept list, which
// becomes the new table's row index (Table::over). Missing cells never pass.
//
// The scan loops are instantiated per test and per shape of the input (with or
// without a row index, with or without missing cells), and append without a
// branch: the row number is always written and the count advances by the
// test's outcome.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "quote.hpp"
#include "table.hpp"

namespace kelo_frame {

namespace {

// Positions are scanned in blocks; the kept row numbers of one block are
// written to a small buffer and then appended to the kept list, so the hot
// loop never checks the list's capacity.
constexpr std::size_t block = 2048;

template <bool Indexed, bool AllPresent, class Pass>
RowIndex scan(const Table& table, const Validity& valid, const Pass& pass) {
  const std::uint64_t height = table.height;
  const std::uint32_t* index = Indexed ? table.index->data() : nullptr;
  RowIndex kept;
  std::array<std::uint32_t, block> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (std::uint64_t start = 0; start < height; start += block) {
    const std::uint64_t end = std::min<std::uint64_t>(height, start + block);
    std::size_t n = 0;
    for (std::uint64_t p = start; p < end; ++p) {
      const std::uint32_t r = Indexed ? index[p] : static_cast<std::uint32_t>(p);
      buffer[n] = r;
      if constexpr (AllPresent) {
        n += static_cast<std::size_t>(pass(r));
      } else {
        n += static_cast<std::size_t>(pass(r) & valid.present(r));
      }
    }
    if (kept.empty() && n != 0) {
      // Guess the final size from the first block's share of kept rows.
      const std::uint64_t guess = (height / (end - start) + 1) * n;
      kept.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(height, guess)));
    }
    kept.insert(kept.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return kept;
}

// The rows of the view whose cell is present and passes.
template <class Pass>
RowIndex kept_rows(const Table& table, const Validity& valid, const Pass& pass) {
  const bool all_present = valid.all_present();
  if (table.index) {
    return all_present ? scan<true, true>(table, valid, pass) : scan<true, false>(table, valid, pass);
  }
  return all_present ? scan<false, true>(table, valid, pass) : scan<false, false>(table, valid, pass);
}

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
  return kept_rows(table, column.valid, [values, test](std::uint32_t r) { return test(values[r]); });
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
  return kept_rows(table, column.valid, [](std::uint32_t) { return true; });
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

// Membership in a short list of values: one comparison per value, combined
// without branches. Lists of one or two values get their own loops.
template <class T>
RowIndex kept_among(const Table& table, const NumCol<T>& column, std::span<const T> values) {
  switch (values.size()) {
    case 0: return {};
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

// The integers that a list of floats can equal: whole values within the range
// of 64-bit integers, each once.
std::vector<std::int64_t> integer_values(std::span<const double> values) {
  std::vector<std::int64_t> out;
  for (const double v : values) {
    if (!(v >= -two_63 && v < two_63) || std::floor(v) != v) continue;  // NaN fails the range test
    const auto i = static_cast<std::int64_t>(v);
    if (std::find(out.begin(), out.end(), i) == out.end()) out.push_back(i);
  }
  return out;
}

// The floats that a cell can equal: NaN equals nothing, and the two zeros are
// one value; each once.
std::vector<double> float_values(std::span<const double> values) {
  std::vector<double> out;
  for (const double v : values) {
    if (std::isnan(v)) continue;
    const double key = v == 0.0 ? 0.0 : v;
    if (std::find(out.begin(), out.end(), key) == out.end()) out.push_back(key);
  }
  return out;
}

// Text membership: equal length, then equal bytes.
RowIndex kept_in(const Table& table, const StrCol& column, std::span<const std::string> wanted) {
  std::vector<std::string_view> values;
  for (const std::string& v : wanted) {
    if (std::find(values.begin(), values.end(), v) == values.end()) values.emplace_back(v);
  }
  if (values.empty()) return {};
  const std::uint64_t* offsets = column.offsets.data();
  const char* bytes = column.bytes.data();
  return kept_rows(table, column.valid, [offsets, bytes, &values](std::uint32_t r) {
    const std::uint64_t begin = offsets[r];
    const std::uint64_t length = offsets[r + 1] - begin;
    bool match = false;
    for (const std::string_view v : values) {
      if (v.size() == length && std::memcmp(bytes + begin, v.data(), length) == 0) {
        match = true;
        break;
      }
    }
    return match;
  });
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
    const std::vector<double> wanted = float_values(values);
    return over(kept_among<double>(*this, *f, wanted));
  }
  if (const auto* i = std::get_if<I64Col>(&column)) {
    const std::vector<std::int64_t> wanted = integer_values(values);
    return over(kept_among<std::int64_t>(*this, *i, wanted));
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
