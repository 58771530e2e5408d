#include "date.hpp"

#include <string>

#include "ascii_digits.hpp"
#include "quote.hpp"

namespace kelo_frame {

namespace {

constexpr std::int32_t digit(char ch) noexcept { return ch - '0'; }

constexpr bool is_leap(std::int32_t year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

constexpr std::int32_t days_in(std::int32_t year, std::int32_t month) noexcept {
  switch (month) {
    case 2: return is_leap(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11: return 30;
    default: return 31;
  }
}

}  // namespace

std::optional<Date> parse_date(std::string_view text) noexcept {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (const std::size_t i : {0U, 1U, 2U, 3U, 5U, 6U, 8U, 9U}) {
    if (!is_digit(text[i])) return std::nullopt;
  }
  const std::int32_t year = digit(text[0]) * 1000 + digit(text[1]) * 100 + digit(text[2]) * 10 + digit(text[3]);
  const std::int32_t month = digit(text[5]) * 10 + digit(text[6]);
  const std::int32_t day = digit(text[8]) * 10 + digit(text[9]);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in(year, month)) return std::nullopt;
  return Date{year, month, day};
}

Result<DatePart> date_part_named(std::string_view part) {
  if (part == "year") return DatePart::Year;
  if (part == "month") return DatePart::Month;
  if (part == "day") return DatePart::Day;
  return fail("part " + quoted(part) + ": give \"year\", \"month\" or \"day\"");
}

}  // namespace kelo_frame
