// What the fuzz targets share: a check that stops the run with a message (so
// libFuzzer saves the input as a crash), and the comparison of two tables.
#pragma once

#include <bit>
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

// The named column's cells in the table's row order.
inline Col materialised(const Table& t, const std::string& name) {
  auto col = t.column(name);
  check(col.has_value(), "a listed column cannot be materialised", name);
  return std::move(*col);
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
