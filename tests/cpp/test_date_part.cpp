#include <gtest/gtest.h>

#include "engine/date.hpp"
#include "engine/table.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using namespace rowops_test;

class Dates : public testing::TestWithParam<const char*> {};
class NotDates : public testing::TestWithParam<const char*> {};

TEST_P(Dates, Parse) { EXPECT_TRUE(parse_date(GetParam())) << GetParam(); }
TEST_P(NotDates, Refused) { EXPECT_FALSE(parse_date(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Valid, Dates,
                         testing::Values("2024-02-29", "2000-02-29", "0001-01-01", "9999-12-31", "1999-04-30",
                                         "2023-02-28", "0004-02-29", "2024-12-31", "1600-02-29"));
INSTANTIATE_TEST_SUITE_P(Invalid, NotDates,
                         testing::Values("2023-02-29", "1900-02-29", "2100-02-29", "0000-01-01", "2024-04-31",
                                         "2024-13-01", "2024-00-10", "2024-01-00", "2024-01-32", " 2024-01-05",
                                         "2024-01-05 ", "2024/01/05", "20240105", "2024-1-5", "2024-1-05",
                                         "2024-01-05T00:00", "", "2024-01-0a", "+024-01-05", "2024-01-\xd9\xa5",
                                         "\xef\xbc\x92\xef\xbc\x90-01-05", "2024--1-05", "2024-0\x00-05"));

TEST(DatePart, PartsOfOneDate) {
  const Date d = parse_date("2024-03-15").value();
  EXPECT_EQ(part_of(d, DatePart::Year), 2024);
  EXPECT_EQ(part_of(d, DatePart::Month), 3);
  EXPECT_EQ(part_of(d, DatePart::Day), 15);
}

TEST(DatePart, PartNames) {
  EXPECT_EQ(date_part_named("year").value(), DatePart::Year);
  EXPECT_EQ(date_part_named("month").value(), DatePart::Month);
  EXPECT_EQ(date_part_named("day").value(), DatePart::Day);
  for (const char* bad : {"Year", "YEAR", "years", "", "day "}) {
    EXPECT_FALSE(date_part_named(bad)) << bad;
  }
  EXPECT_EQ(date_part_named("Year").error(), R"(part "Year": give "year", "month" or "day")");
  EXPECT_EQ(date_part_named("a\"b").error(), R"(part "a\"b": give "year", "month" or "day")");
}

std::vector<std::optional<std::int64_t>> cells_of(const Col& col) {
  const auto& c = std::get<I64Col>(col);
  std::vector<std::optional<std::int64_t>> out;
  for (std::size_t r = 0; r < c.size(); ++r) out.push_back(c.present(r) ? std::optional(c.values[r]) : std::nullopt);
  return out;
}

using Cells = std::vector<std::optional<std::int64_t>>;

TEST(DatePart, EachPartWithMissingCells) {
  Table t;
  ASSERT_TRUE(t.add("d", strs({"2024-03-15", std::nullopt, "1999-12-31"})));
  EXPECT_EQ(cells_of(t.date_part("d", DatePart::Year).value()), (Cells{2024, std::nullopt, 1999}));
  EXPECT_EQ(cells_of(t.date_part("d", DatePart::Month).value()), (Cells{3, std::nullopt, 12}));
  EXPECT_EQ(cells_of(t.date_part("d", DatePart::Day).value()), (Cells{15, std::nullopt, 31}));
  EXPECT_EQ(t.width(), 1U);  // the table is not changed
}

TEST(DatePart, Failures) {
  Table t;
  ASSERT_TRUE(t.add("n", i64s({1})));
  ASSERT_TRUE(t.add("f", f64s({1.0})));
  ASSERT_TRUE(t.add("d", strs({"2023-02-29"})));
  EXPECT_EQ(t.date_part("x", DatePart::Year).error(), R"(no column "x" (the frame has "n", "f", "d"))");
  EXPECT_EQ(t.date_part("n", DatePart::Year).error(), R"(column "n" is i64, not str)");
  EXPECT_EQ(t.date_part("f", DatePart::Day).error(), R"(column "f" is f64, not str)");
  EXPECT_EQ(t.date_part("d", DatePart::Month).error(), R"(column "d", row 0: "2023-02-29" is not a YYYY-MM-DD date)");
}

TEST(DatePart, FollowsViewOrderAndReportsPositions) {
  Table t;
  ASSERT_TRUE(t.add("d", strs({"2001-01-01", "bad\n", std::nullopt, "2003-03-03", "2002-02-02", ""})));
  // Rows 3, 2, 4, 0 in that order; the bad rows 1 and 5 are not in the view.
  const Table view = t.over({3, 2, 4, 0});
  EXPECT_EQ(cells_of(view.date_part("d", DatePart::Year).value()), (Cells{2003, std::nullopt, 2002, 2001}));
  // Row 1 of storage is position 2 of this view; the first bad cell decides.
  const Table bad = t.over({0, 2, 1, 5});
  EXPECT_EQ(bad.date_part("d", DatePart::Day).error(), R"(column "d", row 2: "bad\n" is not a YYYY-MM-DD date)");
  EXPECT_EQ(t.over({5, 1}).date_part("d", DatePart::Day).error(), R"(column "d", row 0: "" is not a YYYY-MM-DD date)");
}

TEST(DatePart, EmptyView) {
  Table t;
  ASSERT_TRUE(t.add("d", strs({"bad"})));
  const Col c = t.head(0).date_part("d", DatePart::Year).value();
  EXPECT_EQ(storage_length(c), 0U);
}

}  // namespace
}  // namespace kelo_frame
