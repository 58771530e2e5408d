// A column of n cells drawn from the fuzz input, of any dtype: from a few
// values that make ties and edge cases common (zeros of both signs, NaN,
// infinities, extremes, texts that share their first words), from a range of
// 1024 values (many distinct ones, a narrow span), or from any bits and bytes;
// missing cells at a rate from none to all.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/col.hpp"
#include "provider.hpp"

namespace kelo_frame::fuzz {

inline Col fuzzed_column(FuzzedDataProvider& in, std::size_t n) {
  static constexpr double floats[] = {0.0, -0.0, 1.0, -1.0, 0.5, NAN, -NAN, INFINITY, -INFINITY, 1e300, 5e-324};
  static constexpr std::int64_t ints[] = {0, 1, -1, 2, 255, 256, -256, 65536, INT64_MIN, INT64_MAX};
  static const char* const texts[] = {"",  "a",        "aa",           "ab",              "abc", "b",
                                      "B", "\xc3\xa9", "\xff",         "abcdabcd",        "abcdabcdabcd",
                                      "abcdabcdabcdabcd"};
  const int kind = in.ConsumeIntegralInRange(0, 2);
  const int spread = in.ConsumeIntegralInRange(0, 2);  // a few values, a range, any
  const auto missing_in_256 = in.ConsumeIntegral<std::uint8_t>();
  const auto base = static_cast<std::uint64_t>(in.ConsumeIntegral<std::int64_t>() >> in.ConsumeIntegralInRange(0, 63));
  auto fill = [&](auto col, auto value) {
    for (std::size_t r = 0; r < n; ++r) {
      if (in.ConsumeIntegral<std::uint8_t>() < missing_in_256) {
        col.push_missing();
      } else {
        col.push(value(in.ConsumeIntegralInRange(0, 1023)));
      }
    }
    return Col(std::move(col));
  };
  if (kind == 0) {
    return fill(F64Col{}, [&](int k) {
      if (spread == 0) return in.PickValueInArray(floats);
      return spread == 1 ? static_cast<double>(k) : std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    });
  }
  if (kind == 1) {
    return fill(I64Col{}, [&](int k) {
      if (spread == 0) return in.PickValueInArray(ints);
      return spread == 1 ? static_cast<std::int64_t>(base + static_cast<std::uint64_t>(k))
                         : in.ConsumeIntegral<std::int64_t>();
    });
  }
  return fill(StrCol{}, [&](int k) {
    if (spread == 0) return std::string(in.PickValueInArray(texts));
    return spread == 1 ? "k" + std::to_string(k) : in.ConsumeRandomLengthString(24);
  });
}

}  // namespace kelo_frame::fuzz
