#include <gtest/gtest.h>

#include "cells.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv/float.hpp"
#include "csv/write.hpp"
#include "repr/float.hpp"

namespace kelo_frame::csv {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using test_cells::floats;
using test_cells::ints;
using test_cells::texts;

Table one(std::string_view name, Col col) {
  Table t;
  EXPECT_TRUE(t.add(name, std::move(col)));
  return t;
}

TEST(CsvWrite, MissingCellsAreEmptyFields) {
  Table t;
  ASSERT_TRUE(t.add("a", ints({1, std::nullopt})));
  ASSERT_TRUE(t.add("b", texts({"x", "y z"})));
  ASSERT_TRUE(t.add("c", floats({std::nullopt, 2.5})));
  ASSERT_TRUE(t.add("d", texts({std::nullopt, ""})));
  EXPECT_EQ(write(t), "a,b,c,d\n1,x,,\n,y z,2.5,\"\"\n");
}

TEST(CsvWrite, FloatColumnsUseShortestText) {
  const Table t = one("f", floats({1.0, 0.1, -0.0, 1e16, kNan, kInf, -kInf, 1.5e-7, 0.1 + 0.2}));
  EXPECT_EQ(write(t), "f\n1.0\n0.1\n-0.0\n1e+16\nnan\ninf\n-inf\n1.5e-07\n0.30000000000000004\n");
}

TEST(CsvWrite, IntegersInFull) {
  const Table t = one("i", ints({std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), 0,
                                 -1, 7, 1000000}));
  EXPECT_EQ(write(t), "i\n-9223372036854775808\n9223372036854775807\n0\n-1\n7\n1000000\n");
}

// Texts the reader would take for a float are quoted as they are; texts that
// only look numeric are not.
TEST(CsvWrite, FloatLikeTextsAreQuoted) {
  const Table t = one("s", texts({"5", "1e3", "-nan", "abc", "nan", "+inf", "-Infinity", ".5", "5.", "-0", "1_0", "-",
                                  ".", "1e", " 1", "inf", "0x10", "1,5", "007"}));
  EXPECT_EQ(write(t),
            "s\n\"5\"\n\"1e3\"\n\"-nan\"\nabc\nnan\n\"+inf\"\n\"-Infinity\"\n\".5\"\n\"5.\"\n\"-0\"\n"
            "1_0\n-\n.\n1e\n\" 1\"\ninf\n0x10\n\"1,5\"\n\"007\"\n");
}

TEST(CsvWrite, HeaderNamesAreQuotedOnlyWhenNeeded) {
  Table t;
  ASSERT_TRUE(t.add("x,y", ints({})));
  ASSERT_TRUE(t.add("5", ints({})));
  ASSERT_TRUE(t.add("", ints({})));
  ASSERT_TRUE(t.add("a\"b", ints({})));
  ASSERT_TRUE(t.add("l\nf", ints({})));
  ASSERT_TRUE(t.add(" s", ints({})));
  ASSERT_TRUE(t.add("\xEF\xBB\xBFz", ints({})));  // U+FEFF is not white space
  EXPECT_EQ(write(t), "\"x,y\",5,\"\",\"a\"\"b\",\"l\nf\",\" s\",\xEF\xBB\xBFz\n");
}

// Only as the very first bytes of the text would U+FEFF be taken for a
// byte-order mark, so only there is it quoted.
TEST(CsvWrite, LeadingByteOrderMarkInFirstNameIsQuoted) {
  Table t;
  ASSERT_TRUE(
      t.add("\xEF\xBB\xBF"
            "a",
            texts({"\xEF\xBB\xBF"
                   "v"})));
  ASSERT_TRUE(
      t.add("\xEF\xBB\xBF"
            "b",
            texts({"w"})));
  EXPECT_EQ(write(t),
            "\"\xEF\xBB\xBF"
            "a\",\xEF\xBB\xBF"
            "b\n\xEF\xBB\xBFv,w\n");
  EXPECT_EQ(quote("\xEF\xBB\xBF"
                  "a"),
            "\xEF\xBB\xBF"
            "a");
}

TEST(CsvWrite, ViewsAreWrittenInViewOrder) {
  Table t;
  ASSERT_TRUE(t.add("a", ints({10, 11, std::nullopt, 13})));
  ASSERT_TRUE(t.add("b", texts({"p", "q", "r", std::nullopt})));
  EXPECT_EQ(write(t.over({2, 0, 3, 2})), "a,b\n,r\n10,p\n13,\n,r\n");
  EXPECT_EQ(write(t.over({})), "a,b\n");
}

TEST(CsvWrite, TablesWithoutRowsOrColumns) {
  EXPECT_EQ(write(one("a", texts({}))), "a\n");
  EXPECT_EQ(write(Table{}), "\n");
  Table no_columns;
  no_columns.height = 3;
  EXPECT_EQ(write(no_columns), "\n\n\n\n");
  // One column: a missing cell is an empty line.
  EXPECT_EQ(write(one("a", ints({1, std::nullopt, 3}))), "a\n1\n\n3\n");
}

struct QuoteCase {
  std::string_view text;
  std::string_view field;
};

class CsvQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(CsvQuote, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(quote(GetParam().text), GetParam().field);
  // A text cell that is no float text is written exactly as quote() gives it.
  EXPECT_EQ(write(one("s", texts({GetParam().text}))), "s\n" + std::string(GetParam().field) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CsvQuote,
    ::testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"plain", "plain"}, QuoteCase{"a\"b", "\"a\"\"b\""},
                      QuoteCase{"\"\"", "\"\"\"\"\"\""}, QuoteCase{"a,b", "\"a,b\""}, QuoteCase{"a\rb", "\"a\rb\""},
                      QuoteCase{"a\nb", "\"a\nb\""}, QuoteCase{"x ", "x "}, QuoteCase{"a b", "a b"},
                      QuoteCase{" x", "\" x\""}, QuoteCase{"\tx", "\"\tx\""}, QuoteCase{"\x0Bx", "\"\x0Bx\""},
                      QuoteCase{"\x0Cx", "\"\x0Cx\""}, QuoteCase{"\x08x", "\x08x"}, QuoteCase{"\x0Ex", "\x0Ex"},
                      // Non-ASCII white space, first character only.
                      QuoteCase{"\xC2\x85x", "\"\xC2\x85x\""}, QuoteCase{"\xC2\xA0", "\"\xC2\xA0\""},
                      QuoteCase{"x\xC2\xA0", "x\xC2\xA0"}, QuoteCase{"\xE1\x9A\x80", "\"\xE1\x9A\x80\""},
                      QuoteCase{"\xE2\x80\x80", "\"\xE2\x80\x80\""}, QuoteCase{"\xE2\x80\x8A", "\"\xE2\x80\x8A\""},
                      QuoteCase{"\xE2\x80\x8B", "\xE2\x80\x8B"},  // zero-width space is not White_Space
                      QuoteCase{"\xE2\x80\xA8", "\"\xE2\x80\xA8\""}, QuoteCase{"\xE2\x80\xA9", "\"\xE2\x80\xA9\""},
                      QuoteCase{"\xE2\x80\xAF", "\"\xE2\x80\xAF\""}, QuoteCase{"\xE2\x81\x9F", "\"\xE2\x81\x9F\""},
                      QuoteCase{"\xE3\x80\x80", "\"\xE3\x80\x80\""}, QuoteCase{"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
                      QuoteCase{"\xC2\xA1", "\xC2\xA1"}, QuoteCase{"\xE2\x80", "\xE2\x80"}, QuoteCase{"\xC2", "\xC2"},
                      QuoteCase{"\xE2\x80\x41", "\xE2\x80\x41"}));

// A special byte at any place of a text of any length is found, whichever
// block, word or tail it falls in; a text without one is copied whole.
TEST(CsvWrite, SpecialBytesFoundAtEveryOffset) {
  for (std::size_t len = 1; len <= 50; ++len) {
    const std::string plain(len, 'a');
    EXPECT_EQ(quote(plain), plain);
    for (char special : {',', '"', '\r', '\n'}) {
      for (std::size_t at = 0; at < len; ++at) {
        std::string text = plain;
        text[at] = special;
        std::string expected = "\"";
        for (char c : text) {
          expected += c;
          if (c == '"') expected += '"';
        }
        expected += '"';
        EXPECT_EQ(quote(text), expected) << static_cast<int>(special) << " at " << at << " of " << len;
        // Inside a column the bytes after the cell can be read too.
        const Table t = one("s", texts({text, "b,"}));
        EXPECT_EQ(write(t), "s\n" + expected + "\n\"b,\"\n");
      }
    }
  }
  // Bytes next to the special ones in value are no reason to quote.
  EXPECT_EQ(quote("+-!#$%&'()*/\x0F\x01\xAC\xA2\x8D\x8A"), "+-!#$%&'()*/\x0F\x01\xAC\xA2\x8D\x8A");
}

// The cell text of one present cell, built the plain way, to check the
// buffered writer against on large tables.
std::string plain_cell(const Col& col, std::size_t row) {
  if (!present(col, row)) return "";
  if (const auto* f = std::get_if<F64Col>(&col)) return repr::float_(f->values[row]);
  if (const auto* i = std::get_if<I64Col>(&col)) return std::to_string(i->values[row]);
  const std::string_view text = std::get<StrCol>(col).at(row);
  if (float_(text)) return "\"" + std::string(text) + "\"";
  return quote(text);
}

std::string plain_write(const Table& t) {
  std::string out;
  for (std::size_t c = 0; c < t.columns.size(); ++c) out += (c ? "," : "") + quote(t.columns[c].name);
  out += '\n';
  for (std::uint64_t p = 0; p < t.height; ++p) {
    for (std::size_t c = 0; c < t.columns.size(); ++c) {
      out += (c ? "," : "") + plain_cell(*t.columns[c].col, t.row(p));
    }
    out += '\n';
  }
  return out;
}

// Short rows first and long ones later make the buffer's first projection
// far too small, so it must grow several times mid-row.
TEST(CsvWrite, LargeTablesGrowTheBufferCorrectly) {
  std::mt19937_64 rng(3);
  const std::size_t n = 60000;
  F64Col f;
  I64Col i;
  StrCol s;
  const std::string alphabet = "ab,\" \n\r7.-+e\xC2\xA0";
  for (std::size_t r = 0; r < n; ++r) {
    if (rng() % 17 == 0) {
      f.push_missing();
    } else {
      f.push(std::bit_cast<double>(rng()));
    }
    if (rng() % 13 == 0) {
      i.push_missing();
    } else {
      i.push(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    }
    const std::size_t len = r < 5000 ? rng() % 3 : rng() % (r < 40000 ? 40 : 3000);
    std::string text;
    for (std::size_t k = 0; k < len; ++k) text += alphabet[rng() % alphabet.size()];
    if (rng() % 11 == 0) {
      s.push_missing();
    } else {
      s.push(rng() % 5 == 0 ? std::to_string(rng() % 1000) + ".5" : text);
    }
  }
  Table t;
  ASSERT_TRUE(t.add("f", std::move(f)));
  ASSERT_TRUE(t.add("i", std::move(i)));
  ASSERT_TRUE(t.add("s", std::move(s)));
  EXPECT_EQ(write(t), plain_write(t));
  RowIndex rows;
  for (std::size_t r = 0; r < n; r += 3) rows.push_back(static_cast<std::uint32_t>(n - 1 - r));
  const Table view = t.over(rows);
  EXPECT_EQ(write(view), plain_write(view));
}

}  // namespace
}  // namespace kelo_frame::csv
