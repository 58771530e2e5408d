// csv::write on tables built straight from the fuzz input, so that every
// float bit pattern (NaN payloads, subnormals, negative zero), every byte in
// texts and names, missing cells anywhere and views in any row order reach
// the writer; the text must read back as round_trip.hpp says.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "round_trip.hpp"

namespace {

using namespace kelo_frame;

Col make_column(FuzzedDataProvider& in, std::size_t rows) {
  const int kind = in.ConsumeIntegralInRange(0, 2);
  // The share of missing cells, from none to all.
  const auto missing_in_256 = in.ConsumeIntegral<std::uint8_t>();
  auto missing = [&] { return in.ConsumeIntegral<std::uint8_t>() < missing_in_256; };
  if (kind == 0) {
    F64Col c;
    for (std::size_t r = 0; r < rows; ++r) {
      if (missing()) {
        c.push_missing();
      } else {
        c.push(std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
      }
    }
    return c;
  }
  if (kind == 1) {
    I64Col c;
    for (std::size_t r = 0; r < rows; ++r) {
      if (missing()) {
        c.push_missing();
      } else {
        c.push(in.ConsumeIntegral<std::int64_t>());
      }
    }
    return c;
  }
  StrCol c;
  for (std::size_t r = 0; r < rows; ++r) {
    if (missing()) {
      c.push_missing();
    } else {
      c.push(in.ConsumeRandomLengthString(24));
    }
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t width = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  const std::size_t rows = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  Table t;
  for (std::size_t c = 0; c < width; ++c) {
    const std::string name = in.ConsumeRandomLengthString(12);
    if (!t.add(name, make_column(in, rows))) return 0;  // a repeated name
  }
  if (width == 0) t.height = rows;
  fuzz::round_trip(t);
  // A view: row numbers chosen from the rest of the input, repeats allowed.
  if (rows > 0 && in.remaining_bytes() > 0) {
    RowIndex picked;
    while (in.remaining_bytes() > 0 && picked.size() < 64) {
      picked.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, static_cast<std::uint32_t>(rows - 1)));
    }
    fuzz::round_trip(t.over(std::move(picked)));
  }
  return 0;
}
