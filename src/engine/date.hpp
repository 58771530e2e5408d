// Dates written as YYYY-MM-DD texts, and the names of their parts.
//
// Dates are never a dtype of their own: they stay text, and only their year,
// month or day become integers (Table::date_part). This is the one place that
// reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "result.hpp"
#include "table.hpp"

namespace kelo_frame {

struct Date {
  std::int32_t year;   // 1 to 9999
  std::int32_t month;  // 1 to 12
  std::int32_t day;    // 1 to the length of the month
};

// The date written by text, or nothing. A date is exactly ten bytes: four
// digits, '-', two digits, '-', two digits, naming a real day of the Gregorian
// calendar from 0001-01-01 to 9999-12-31. No trimming, no other forms.
[[nodiscard]] std::optional<Date> parse_date(std::string_view text) noexcept;

// The chosen part of a date.
[[nodiscard]] constexpr std::int64_t part_of(const Date& date, DatePart part) noexcept {
  switch (part) {
    case DatePart::Year: return date.year;
    case DatePart::Month: return date.month;
    case DatePart::Day: return date.day;
  }
  return date.day;
}

// "year", "month" or "day" (exact bytes) as a DatePart, or the part message.
[[nodiscard]] Result<DatePart> date_part_named(std::string_view part);

}  // namespace kelo_frame
