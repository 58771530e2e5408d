// csv::write on tables built straight from the fuzz input (columns.hpp), so
// that every float bit pattern, every byte in texts and names, missing cells
// anywhere and views in any row order reach the writer; the text must read
// back as round_trip.hpp says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "columns.hpp"
#include "round_trip.hpp"

using namespace kelo_frame;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t width = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  const std::size_t rows = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  Table t;
  for (std::size_t c = 0; c < width; ++c) {
    const std::string name = in.ConsumeRandomLengthString(12);
    if (!t.add(name, fuzz::fuzzed_column(in, rows))) return 0;  // a repeated name
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
