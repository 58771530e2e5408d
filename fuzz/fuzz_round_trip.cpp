// Read a table, write it, read the text back: the same table, except where
// writing and reading are known not to meet (round_trip.hpp). Each table read
// is also written as a view of its rows in reverse order, so that the
// writer's row-index path is checked too.
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string_view>

#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto table = kelo_frame::csv::read(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!table) return 0;
  kelo_frame::fuzz::round_trip(*table);
  if (table->height > 1) {
    kelo_frame::RowIndex reversed(table->height);
    std::iota(reversed.rbegin(), reversed.rend(), std::uint32_t{0});
    kelo_frame::fuzz::round_trip(table->over(std::move(reversed)));
  }
  return 0;
}
