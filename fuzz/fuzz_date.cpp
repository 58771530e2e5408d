// parse_date against a reference built on the standard calendar types: ten
// bytes, four digits, '-', two digits, '-', two digits, naming a real day from
// 0001-01-01 to 9999-12-31.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "check.hpp"
#include "engine/date.hpp"

namespace {

std::optional<kelo_frame::Date> reference(std::string_view t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  int fields[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int f = 0; f < 3; ++f) {
    for (std::size_t i = 0; i < lengths[f]; ++i) {
      const char c = t[starts[f] + i];
      if (c < '0' || c > '9') return std::nullopt;
      fields[f] = fields[f] * 10 + (c - '0');
    }
  }
  const std::chrono::year_month_day ymd{std::chrono::year{fields[0]},
                                        std::chrono::month{static_cast<unsigned>(fields[1])},
                                        std::chrono::day{static_cast<unsigned>(fields[2])}};
  if (fields[0] < 1 || !ymd.ok()) return std::nullopt;
  return kelo_frame::Date{fields[0], fields[1], fields[2]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kelo_frame::fuzz::check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto got = kelo_frame::parse_date(text);
  const auto want = reference(text);
  check(got.has_value() == want.has_value(), want ? "a real date was refused" : "a text that is no date was taken",
        text);
  if (got) {
    check(got->year == want->year && got->month == want->month && got->day == want->day, "date fields differ", text);
    using kelo_frame::DatePart;
    check(kelo_frame::part_of(*got, DatePart::Year) == want->year &&
              kelo_frame::part_of(*got, DatePart::Month) == want->month &&
              kelo_frame::part_of(*got, DatePart::Day) == want->day,
          "date part differs", text);
  }
  return 0;
}
