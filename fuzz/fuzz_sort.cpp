// sort_rows, both methods, against std::stable_sort under the documented
// order: present cells by value (ascending, or the comparison inverted for
// descending), NaN after every other present cell, missing cells last, ties
// in the order given. Columns and row lists come from the fuzz input, with
// values drawn from small sets so that ties, zeros of both signs, NaN and
// shared text prefixes are common.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "engine/sort.hpp"

namespace {

using namespace kelo_frame;

Col make_column(FuzzedDataProvider& in, std::size_t n) {
  const int kind = in.ConsumeIntegralInRange(0, 2);
  const bool wide = in.ConsumeBool();  // any value, or one of a few
  auto missing = [&] { return in.ConsumeIntegralInRange(0, 7) == 0; };
  if (kind == 0) {
    static constexpr double few[] = {0.0, -0.0, 1.0, -1.0, 0.5, NAN, -NAN, INFINITY, -INFINITY, 1e300, 5e-324};
    F64Col c;
    for (std::size_t r = 0; r < n; ++r) {
      if (missing()) {
        c.push_missing();
      } else {
        c.push(wide ? std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()) : in.PickValueInArray(few));
      }
    }
    return c;
  }
  if (kind == 1) {
    static constexpr std::int64_t few[] = {0, 1, -1, 2, INT64_MIN, INT64_MAX, 255, 256, -256, 65536};
    I64Col c;
    for (std::size_t r = 0; r < n; ++r) {
      if (missing()) {
        c.push_missing();
      } else {
        c.push(wide ? in.ConsumeIntegral<std::int64_t>() : in.PickValueInArray(few));
      }
    }
    return c;
  }
  static const char* const few[] = {"", "a", "ab", "abc", "b", "B", "\xc3\xa9", "\xff", "a\0b", "aa"};
  StrCol c;
  for (std::size_t r = 0; r < n; ++r) {
    if (missing()) {
      c.push_missing();
    } else {
      c.push(wide ? in.ConsumeRandomLengthString(10) : std::string(in.PickValueInArray(few)));
    }
  }
  return c;
}

// Whether row a goes before row b.
bool before(const Col& col, std::uint32_t a, std::uint32_t b, bool descending) {
  const bool pa = present(col, a);
  const bool pb = present(col, b);
  if (!pa) return false;
  if (!pb) return true;
  if (const auto* f = std::get_if<F64Col>(&col)) {
    const double x = f->values[a];
    const double y = f->values[b];
    if (std::isnan(x)) return false;
    if (std::isnan(y)) return true;
    return descending ? x > y : x < y;
  }
  if (const auto* i = std::get_if<I64Col>(&col)) {
    const std::int64_t x = i->values[a];
    const std::int64_t y = i->values[b];
    return descending ? x > y : x < y;
  }
  const auto& s = std::get<StrCol>(col);
  const std::string_view x = s.at(a);
  const std::string_view y = s.at(b);
  return descending ? y < x : x < y;  // string_view compares bytes as unsigned
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 600);
  const bool descending = in.ConsumeBool();
  const Col col = make_column(in, n);
  // The rows in view order: every row, or a list picked with repeats.
  RowIndex rows;
  if (in.ConsumeBool()) {
    for (std::uint32_t r = 0; r < n; ++r) rows.push_back(r);
  } else {
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, 2 * n);
    for (std::size_t i = 0; i < k; ++i) {
      rows.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, static_cast<std::uint32_t>(n - 1)));
    }
  }
  RowIndex want = rows;
  std::stable_sort(want.begin(), want.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return before(col, a, b, descending); });
  for (const SortMethod m : {SortMethod::Radix, SortMethod::Compare, SortMethod::Auto}) {
    const RowIndex got = sort_rows(col, rows, descending, m);
    fuzz::check(got == want, "sorted rows differ from the stable reference",
                std::string(dtype_name(col)) + (descending ? " descending, method " : " ascending, method ") +
                    std::to_string(static_cast<int>(m)) + ", " + std::to_string(rows.size()) + " rows");
  }
  return 0;
}
