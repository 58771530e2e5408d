// Table::group against a plain reference: each position's key cells written
// out as bytes that are equal exactly when grouping calls the keys equal
// (0.0 and -0.0 alike, a NaN by its bits, missing apart from every value),
// numbered in order of first appearance through a std::map. The groups, their
// first rows, counts, per-position ids and row lists must agree, and so must
// the i64 and f64 sums over them. Key columns (columns.hpp) are drawn from
// narrow or wide value sets, so that few and many groups, small and wide
// integer ranges and the width changes of the ids (past 256 groups) all occur.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check.hpp"
#include "columns.hpp"
#include "engine/groups.hpp"
#include "engine/sum.hpp"

namespace {

using namespace kelo_frame;

// The bytes of one key cell; equal bytes exactly for equal key cells.
void key_bytes(const Col& col, std::uint32_t r, std::string& out) {
  if (!present(col, r)) {
    out += 'M';
    return;
  }
  std::uint64_t bits = 0;
  if (const auto* f = std::get_if<F64Col>(&col)) {
    const double v = f->values[r];
    bits = v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v);
  } else if (const auto* i = std::get_if<I64Col>(&col)) {
    bits = static_cast<std::uint64_t>(i->values[r]);
  } else {
    const std::string_view s = std::get<StrCol>(col).at(r);
    out += 'S';
    out += std::to_string(s.size());
    out += ':';
    out.append(s);
    return;
  }
  out += 'N';
  out.append(reinterpret_cast<const char*>(&bits), sizeof bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 1500);
  const std::size_t width = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  Table t;
  std::vector<std::string> names;
  for (std::size_t c = 0; c < width; ++c) {
    names.push_back("k" + std::to_string(c));
    t.columns.push_back(Column{names.back(), Rc<Col>::make(fuzz::fuzzed_column(in, n))});
  }
  I64Col iv;
  F64Col fv;
  for (std::size_t r = 0; r < n; ++r) {
    if (in.ConsumeIntegralInRange(0, 9) == 0) {
      iv.push_missing();
      fv.push_missing();
    } else {
      iv.push(in.ConsumeBool() ? in.ConsumeIntegral<std::int64_t>() : in.ConsumeIntegralInRange(-5, 5));
      fv.push(std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
    }
  }
  t.columns.push_back(Column{"iv", Rc<Col>::make(Col(std::move(iv)))});
  t.columns.push_back(Column{"fv", Rc<Col>::make(Col(std::move(fv)))});
  t.height = n;
  // A view: rows picked with repeats, in any order.
  if (in.ConsumeBool()) {
    RowIndex rows;
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, 2 * n);
    for (std::size_t i = 0; i < k; ++i)
      rows.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, static_cast<std::uint32_t>(n - 1)));
    t = t.over(std::move(rows));
  }
  // The grouping keys: some of the key columns, in any order.
  std::vector<std::string> keys;
  for (const std::string& name : names) {
    if (in.ConsumeBool()) keys.push_back(name);
  }
  if (in.ConsumeBool()) std::ranges::reverse(keys);

  // The reference.
  std::map<std::string, std::uint32_t> seen;
  std::vector<std::uint32_t> ids(t.height);
  std::vector<std::vector<std::uint32_t>> lists;
  for (std::uint64_t p = 0; p < t.height; ++p) {
    const std::uint32_t r = t.row(p);
    std::string key;
    for (const std::string& k : keys) key_bytes(**t.col(k), r, key);
    const auto [it, added] = seen.try_emplace(key, static_cast<std::uint32_t>(lists.size()));
    if (added) lists.emplace_back();
    lists[it->second].push_back(r);
    ids[p] = it->second;
  }

  const Groups g = t.group(keys).value();
  fuzz::check(g.size() == lists.size(), "group count differs");
  for (std::size_t i = 0; i < lists.size(); ++i) {
    fuzz::check(g.firsts[i] == lists[i].front(), "first row differs");
    fuzz::check(g.counts[i] == lists[i].size(), "row count differs");
  }
  if (!g.ids.empty()) {
    g.ids.visit([&](const auto* got) {
      for (std::uint64_t p = 0; p < t.height; ++p) fuzz::check(got[p] == ids[p], "group id differs");
    });
  }
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const auto rows = g.group(i);
    fuzz::check(std::equal(rows.begin(), rows.end(), lists[i].begin(), lists[i].end()), "row list differs");
  }

  // Sums in each group's row order: exact i64 with its overflow, Neumaier f64.
  const auto& ic = std::get<I64Col>(**t.col("iv"));
  const auto& fc = std::get<F64Col>(**t.col("fv"));
  bool overflow = false;
  std::vector<std::int64_t> isums(lists.size(), 0);
  std::vector<Neumaier> fsums(lists.size());
  for (std::size_t i = 0; i < lists.size(); ++i) {
    for (const std::uint32_t r : lists[i]) {
      if (ic.present(r) && __builtin_add_overflow(isums[i], ic.values[r], &isums[i])) overflow = true;
      if (fc.present(r)) fsums[i].add(fc.values[r]);
    }
  }
  const auto isum = g.agg("iv", Agg::Sum);
  fuzz::check(isum.has_value() != overflow, "i64 sum overflow differs");
  if (isum) {
    const auto& got = std::get<I64Col>(*isum->columns.back().col);
    for (std::size_t i = 0; i < lists.size(); ++i) fuzz::check(got.values[i] == isums[i], "i64 sum differs");
  }
  const auto fsum = g.agg("fv", Agg::Sum).value();
  const auto& got = std::get<F64Col>(*fsum.columns.back().col);
  for (std::size_t i = 0; i < lists.size(); ++i) {
    fuzz::check(std::bit_cast<std::uint64_t>(got.values[i]) == std::bit_cast<std::uint64_t>(fsums[i].total()) ||
                    (got.values[i] != got.values[i] && fsums[i].total() != fsums[i].total()),
                "f64 sum differs");
  }
  return 0;
}
