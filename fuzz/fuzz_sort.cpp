// sort_rows, both methods, against std::stable_sort under the documented
// order: present cells by value (ascending, or the comparison inverted for
// descending), NaN after every other present cell, missing cells last, ties
// in the order given. Columns (columns.hpp) and row lists come from the fuzz
// input.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "columns.hpp"
#include "engine/sort.hpp"

using namespace kelo_frame;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 600);
  const bool descending = in.ConsumeBool();
  const Col col = fuzz::fuzzed_column(in, n);
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
                   [&](std::uint32_t a, std::uint32_t b) { return fuzz::sorts_before(col, a, b, descending); });
  for (const SortMethod m : {SortMethod::Radix, SortMethod::Compare, SortMethod::Auto}) {
    const RowIndex got = sort_rows(col, rows, descending, m);
    fuzz::check(got == want, "sorted rows differ from the stable reference",
                std::string(dtype_name(col)) + (descending ? " descending, method " : " ascending, method ") +
                    std::to_string(static_cast<int>(m)) + ", " + std::to_string(rows.size()) + " rows");
  }
  return 0;
}
