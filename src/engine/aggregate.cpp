// Aggregation: one cell per group computed from the group's rows, joined to
// the key table.
//
// Every aggregate keeps one running state per group and visits each group's
// rows in their order. With the group of every position at hand (Groups::ids)
// that is one sequential pass over the table, however many groups there are
// (and so it is with a single group); otherwise it walks the row lists group
// by group. Both give each group the
// same sequence of cells, so the results are the same.
#include <algorithm>
#include <type_traits>
#include <utility>

#include "groups.hpp"
#include "quote.hpp"
#include "sum.hpp"

namespace kelo_frame {

namespace {

// Calls visit(group, row) for every row of every group; within a group the
// rows come in the group's order.
template <class Visit>
void each_row(const Groups& gs, Visit&& visit) {
  const std::uint64_t height = gs.table.height;
  if (height != 0 && gs.ids.size() == height) {
    gs.ids.visit([&](const auto* ids) {
      if (gs.table.index) {
        const std::uint32_t* index = gs.table.index->data();
        for (std::uint64_t p = 0; p < height; ++p) visit(std::uint32_t{ids[p]}, index[p]);
      } else {
        for (std::uint64_t p = 0; p < height; ++p) visit(std::uint32_t{ids[p]}, static_cast<std::uint32_t>(p));
      }
    });
    return;
  }
  if (gs.size() == 1) {
    // One group holds every position, in position order.
    const std::uint32_t* index = gs.table.index ? gs.table.index->data() : nullptr;
    for (std::uint64_t p = 0; p < height; ++p) visit(0U, index ? index[p] : static_cast<std::uint32_t>(p));
    return;
  }
  for (std::uint64_t g = 0; g < gs.size(); ++g) {
    for (const std::uint32_t r : gs.group(g)) visit(static_cast<std::uint32_t>(g), r);
  }
}

// Calls visit(group, value) for every present cell of col, group by group in
// each group's row order.
template <class T, class Visit>
void each_present(const Groups& gs, const NumCol<T>& col, Visit&& visit) {
  const T* values = col.values.data();
  if (col.valid.all_present()) {
    each_row(gs, [&](std::uint32_t g, std::uint32_t r) { visit(g, values[r]); });
  } else {
    each_row(gs, [&](std::uint32_t g, std::uint32_t r) {
      if (col.present(r)) visit(g, values[r]);
    });
  }
}

std::string overflow_message(std::string_view name) { return "the sum of column " + quoted(name) + " overflows i64"; }

// The exact i64 sum of each group's present cells, checking the running sum at
// every step.
Result<std::vector<std::int64_t>> exact_sums(const Groups& gs, const I64Col& col, std::string_view name) {
  std::vector<std::int64_t> sums(gs.size(), 0);
  std::int64_t* acc = sums.data();
  bool overflow = false;
  each_present(gs, col, [&](std::uint32_t g, std::int64_t v) {
    if (__builtin_add_overflow(acc[g], v, &acc[g])) overflow = true;
  });
  if (overflow) return fail(overflow_message(name));
  return sums;
}

// The number of present cells of each group.
template <class T>
std::vector<std::uint64_t> present_counts(const Groups& gs, const NumCol<T>& col) {
  std::vector<std::uint64_t> counts(gs.size());
  if (col.valid.all_present()) {
    counts = gs.counts;
  } else {
    each_row(gs, [&](std::uint32_t g, std::uint32_t r) {
      if (col.present(r)) ++counts[g];
    });
  }
  return counts;
}

Result<Col> sum_i64(const Groups& gs, const I64Col& col, std::string_view name) {
  auto sums = exact_sums(gs, col, name);
  if (!sums) return fail(std::move(sums.error()));
  I64Col out;
  out.values = std::move(*sums);
  return out;
}

// One mean per group: its total divided by its count of present cells, or a
// missing cell for a group without any.
template <class Total>
F64Col means(const std::vector<std::uint64_t>& counts, Total total) {
  F64Col out;
  out.values.resize(counts.size());
  for (std::uint64_t g = 0; g < counts.size(); ++g) {
    if (counts[g] == 0) {
      out.valid.set_missing(g);
    } else {
      out.values[g] = total(g) / static_cast<double>(counts[g]);
    }
  }
  return out;
}

Result<Col> mean_i64(const Groups& gs, const I64Col& col, std::string_view name) {
  auto sums = exact_sums(gs, col, name);
  if (!sums) return fail(std::move(sums.error()));
  return means(present_counts(gs, col), [&](std::uint64_t g) { return static_cast<double>((*sums)[g]); });
}

std::vector<Neumaier> float_sums(const Groups& gs, const F64Col& col) {
  std::vector<Neumaier> sums(gs.size());
  Neumaier* acc = sums.data();
  each_present(gs, col, [acc](std::uint32_t g, double v) { acc[g].add(v); });
  return sums;
}

Col sum_f64(const Groups& gs, const F64Col& col) {
  const std::vector<Neumaier> sums = float_sums(gs, col);
  F64Col out;
  out.values.resize(gs.size());
  for (std::uint64_t g = 0; g < gs.size(); ++g) out.values[g] = sums[g].total();
  return out;
}

Col mean_f64(const Groups& gs, const F64Col& col) {
  const std::vector<Neumaier> sums = float_sums(gs, col);
  return means(present_counts(gs, col), [&](std::uint64_t g) { return sums[g].total(); });
}

// The first present cell of each group, replaced only by a later cell that is
// strictly better: ties keep the earlier cell, and a NaN, which compares
// neither less nor greater, stays if it came first and is never taken later.
template <class T, class Better>
Col extreme(const Groups& gs, const NumCol<T>& col, Better better) {
  NumCol<T> out;
  out.values.resize(gs.size());
  std::vector<std::uint8_t> seen(gs.size(), 0);
  T* best = out.values.data();
  std::uint8_t* has = seen.data();
  each_present(gs, col, [&](std::uint32_t g, T v) {
    if (has[g] == 0) {
      best[g] = v;
      has[g] = 1;
    } else if (better(v, best[g])) {
      best[g] = v;
    }
  });
  for (std::uint64_t g = 0; g < gs.size(); ++g) {
    if (has[g] == 0) out.valid.set_missing(g);
  }
  return out;
}

template <class T>
Col extreme(const Groups& gs, const NumCol<T>& col, Agg op) {
  if (op == Agg::Min) return extreme(gs, col, [](T a, T b) { return a < b; });
  return extreme(gs, col, [](T a, T b) { return a > b; });
}

Col extreme_str(const Groups& gs, const StrCol& col, Agg op) {
  StrCol out;
  for (std::uint64_t g = 0; g < gs.size(); ++g) {
    if (const auto text = pick(gs.group(g), col, op)) {
      out.push(*text);
    } else {
      out.push_missing();
    }
  }
  return out;
}

Result<Col> compute(const Groups& gs, const Col& col, std::string_view name, Agg op) {
  if (const auto* c = std::get_if<I64Col>(&col)) {
    if (op == Agg::Sum) return sum_i64(gs, *c, name);
    if (op == Agg::Mean) return mean_i64(gs, *c, name);
    return extreme(gs, *c, op);
  }
  if (const auto* c = std::get_if<F64Col>(&col)) {
    if (op == Agg::Sum) return sum_f64(gs, *c);
    if (op == Agg::Mean) return mean_f64(gs, *c);
    return extreme(gs, *c, op);
  }
  const auto& c = std::get<StrCol>(col);
  if (op == Agg::Sum || op == Agg::Mean) return fail("column " + quoted(name) + " is str: it has no sum or mean");
  return extreme_str(gs, c, op);
}

}  // namespace

std::optional<std::string_view> pick(std::span<const std::uint32_t> rows, const StrCol& cells, Agg op) {
  std::optional<std::string_view> best;
  for (const std::uint32_t r : rows) {
    if (!cells.present(r)) continue;
    const std::string_view text = cells.at(r);
    // string_view compares as unsigned bytes, a prefix first.
    if (!best || (op == Agg::Min ? text < *best : text > *best)) best = text;
  }
  return best;
}

Result<Table> Groups::agg(std::string_view name, Agg op) const {
  auto found = table.col(name);
  if (!found) return fail(std::move(found.error()));
  auto computed = compute(*this, **found, name, op);
  if (!computed) return fail(std::move(computed.error()));
  return with(name, std::move(*computed));
}

Table Groups::count() const {
  I64Col sizes;
  sizes.values.resize(size());
  for (std::uint64_t g = 0; g < size(); ++g) sizes.values[g] = static_cast<std::int64_t>(counts[g]);
  // "count", or "len" when a key is named "count"; with both names taken by
  // keys, the key table alone.
  for (const std::string_view name : {std::string_view("count"), std::string_view("len")}) {
    if (std::ranges::find(keys, name) != keys.end()) continue;
    if (auto out = with(name, std::move(sizes))) return std::move(*out);
    break;
  }
  return key_table();
}

Result<Table> Groups::with(std::string_view name, Col col) const {
  if (std::ranges::find(keys, name) != keys.end()) {
    return fail("column " + quoted(name) + " is a key of this grouping");
  }
  Table out = key_table();
  auto added = out.add(name, std::move(col));
  if (!added) return fail(std::move(added.error()));
  return out;
}

}  // namespace kelo_frame
