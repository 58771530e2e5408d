// What the fuzz targets share: a check that stops the run with a message (so
// libFuzzer saves the input as a crash), and the comparison of two tables.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "engine/col.hpp"
#include "engine/table.hpp"

namespace kelo_frame::fuzz {

// Prints what went wrong and aborts: libFuzzer reports the input as a crash.
[[noreturn]] inline void fail_check(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) fail_check(what, detail);
}

// Cell equality: missing equals missing; floats compare bit for bit.
inline bool same_cell(const Col& a, std::size_t ra, const Col& b, std::size_t rb) {
  if (a.index() != b.index()) return false;
  const bool pa = present(a, ra);
  if (pa != present(b, rb)) return false;
  if (!pa) return true;
  if (const auto* fa = std::get_if<F64Col>(&a)) {
    return std::bit_cast<std::uint64_t>(fa->values[ra]) == std::bit_cast<std::uint64_t>(std::get<F64Col>(b).values[rb]);
  }
  if (const auto* ia = std::get_if<I64Col>(&a)) return ia->values[ra] == std::get<I64Col>(b).values[rb];
  return std::get<StrCol>(a).at(ra) == std::get<StrCol>(b).at(rb);
}

// Same names, dtypes, height and cells, in storage order.
inline bool same_table(const Table& a, const Table& b) {
  if (a.names() != b.names() || a.dtypes() != b.dtypes() || a.height != b.height) return false;
  for (std::size_t c = 0; c < a.columns.size(); ++c) {
    for (std::size_t r = 0; r < a.height; ++r) {
      if (!same_cell(*a.columns[c].col, r, *b.columns[c].col, r)) return false;
    }
  }
  return true;
}

// Whether row a goes before row b in the documented order: present cells by
// value (ascending, or the comparison inverted for descending), NaN after
// every other present cell, missing cells last; false for ties.
inline bool sorts_before(const Col& col, std::uint32_t a, std::uint32_t b, bool descending) {
  if (!present(col, a)) return false;
  if (!present(col, b)) return true;
  if (const auto* f = std::get_if<F64Col>(&col)) {
    const double x = f->values[a];
    const double y = f->values[b];
    if (std::isnan(x) || std::isnan(y)) return !std::isnan(x);
    return descending ? x > y : x < y;
  }
  if (const auto* i = std::get_if<I64Col>(&col)) {
    return descending ? i->values[a] > i->values[b] : i->values[a] < i->values[b];
  }
  const auto& s = std::get<StrCol>(col);
  return descending ? s.at(b) < s.at(a) : s.at(a) < s.at(b);  // string_view compares bytes as unsigned
}

// Every table invariant that a reader or writer result must keep.
inline void check_invariants(const Table& t) {
  for (std::size_t i = 0; i < t.columns.size(); ++i) {
    for (std::size_t j = i + 1; j < t.columns.size(); ++j) {
      check(t.columns[i].name != t.columns[j].name, "two columns share a name", t.columns[i].name);
    }
    const std::size_t len = storage_length(*t.columns[i].col);
    if (t.index) {
      check(t.index->size() == t.height, "row index length differs from the height");
      for (const std::uint32_t r : *t.index) check(r < len, "row index entry past the storage");
    } else {
      check(len == t.height, "storage length differs from the height", t.columns[i].name);
    }
    if (const auto* s = std::get_if<StrCol>(&*t.columns[i].col)) {
      check(s->offsets.front() == 0 && s->offsets.back() == s->bytes.size(), "text offsets do not span the bytes");
      for (std::size_t r = 0; r + 1 < s->offsets.size(); ++r) {
        check(s->offsets[r] <= s->offsets[r + 1], "text offsets go backwards");
      }
    }
  }
}

}  // namespace kelo_frame::fuzz
