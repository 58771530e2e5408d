#include <gtest/gtest.h>

#include "rowops_cols.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv/float.hpp"
#include "csv/write.hpp"
#include "repr/float.hpp"

namespace kelo_frame::csv {
namespace {

using rowops_test::strs;

Table one(std::string_view name, Col col) {
  Table t;
  EXPECT_TRUE(t.add(name, std::move(col)));
  return t;
}

// A sink that moves its area on every resize and fills the new bytes with
// junk (not ASCII either), so that the writer must carry over exactly what it
// wrote and never read past it.
class MovingSink final : public Sink {
 public:
  char* resize(std::size_t keep, std::size_t size) override {
    auto next = std::make_unique<char[]>(size);
    std::memset(next.get(), 0xA5, size);
    EXPECT_LE(keep, std::min(size, size_));
    if (keep > 0) std::memcpy(next.get(), area_.get(), keep);
    area_ = std::move(next);
    size_ = size;
    ++resizes;
    return area_.get();
  }

  int resizes = 0;
  std::unique_ptr<char[]> area_;
  std::size_t size_ = 0;
};

// write() and write_into() through a moving sink give `want`; the sink's
// text is ASCII exactly when `ascii`.
void expect_written(const Table& t, const std::string& want, bool ascii) {
  EXPECT_EQ(write(t), want);
  MovingSink sink;
  const Written w = write_into(t, sink);
  ASSERT_LE(w.size, sink.size_);
  EXPECT_EQ(std::string(sink.area_.get(), w.size), want);
  EXPECT_EQ(w.ascii, ascii) << want.substr(0, 80);
  EXPECT_LT(sink.resizes, 12) << "the area grows a handful of times, not once per row";
}

struct QuoteCase {
  std::string_view text;
  std::string_view field;
};

class CsvQuote : public ::testing::TestWithParam<QuoteCase> {};

// `field` is what a text cell is written as: a text the reader would take for
// a float goes in quotes, unchanged; any other text as quote() gives it. One
// special byte anywhere in a text is SpecialBytesFoundAtEveryOffset's sweep.
TEST_P(CsvQuote, QuotesOnlyWhatNeedsIt) {
  const auto [text, field] = GetParam();
  EXPECT_EQ(quote(text), float_(text) ? text : field);
  EXPECT_EQ(write(one("s", strs({std::string(text)}))), "s\n" + std::string(field) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CsvQuote,
    ::testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"plain", "plain"}, QuoteCase{"\"\"", "\"\"\"\"\"\""},
                      QuoteCase{"x ", "x "}, QuoteCase{"a b", "a b"}, QuoteCase{" x", "\" x\""},
                      QuoteCase{"\tx", "\"\tx\""}, QuoteCase{"\x0Bx", "\"\x0Bx\""}, QuoteCase{"\x0Cx", "\"\x0Cx\""},
                      QuoteCase{"\x08x", "\x08x"}, QuoteCase{"\x0Ex", "\x0Ex"},
                      // Non-ASCII white space, first character only.
                      QuoteCase{"\xC2\x85x", "\"\xC2\x85x\""}, QuoteCase{"\xC2\xA0", "\"\xC2\xA0\""},
                      QuoteCase{"x\xC2\xA0", "x\xC2\xA0"}, QuoteCase{"\xE1\x9A\x80", "\"\xE1\x9A\x80\""},
                      QuoteCase{"\xE2\x80\x80", "\"\xE2\x80\x80\""}, QuoteCase{"\xE2\x80\x8A", "\"\xE2\x80\x8A\""},
                      QuoteCase{"\xE2\x80\x8B", "\xE2\x80\x8B"},  // zero-width space is not White_Space
                      QuoteCase{"\xE2\x80\xA8", "\"\xE2\x80\xA8\""}, QuoteCase{"\xE2\x80\xA9", "\"\xE2\x80\xA9\""},
                      QuoteCase{"\xE2\x80\xAF", "\"\xE2\x80\xAF\""}, QuoteCase{"\xE2\x81\x9F", "\"\xE2\x81\x9F\""},
                      QuoteCase{"\xE3\x80\x80", "\"\xE3\x80\x80\""}, QuoteCase{"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
                      QuoteCase{"\xC2\xA1", "\xC2\xA1"}, QuoteCase{"\xE2\x80", "\xE2\x80"}, QuoteCase{"\xC2", "\xC2"},
                      QuoteCase{"\xE2\x80\x41", "\xE2\x80\x41"}, QuoteCase{"\xE3\x81\x82", "\xE3\x81\x82"},
                      // Float texts; and texts that only look like numbers.
                      QuoteCase{"5", "\"5\""}, QuoteCase{"1e3", "\"1e3\""}, QuoteCase{"-nan", "\"-nan\""},
                      QuoteCase{"+Infinity", "\"+Infinity\""}, QuoteCase{".5", "\".5\""}, QuoteCase{"5.", "\"5.\""},
                      QuoteCase{"007", "\"007\""}, QuoteCase{"-0", "\"-0\""}, QuoteCase{"nan", "nan"},
                      QuoteCase{"inf", "inf"}, QuoteCase{"1_000", "1_000"}, QuoteCase{"2024-01-05", "2024-01-05"},
                      QuoteCase{"0x1p3", "0x1p3"}, QuoteCase{"-", "-"}, QuoteCase{".", "."}, QuoteCase{"1e", "1e"}));

// A special byte (or a non-ASCII one) at any place of a text of any length
// is found, whichever block, word or tail it falls in; a text without one is
// copied whole. The cell after it, read too by the block copy of a short
// cell, holds special bytes that must not count.
TEST(CsvWrite, SpecialBytesFoundAtEveryOffset) {
  const std::string after(40, ',');
  for (std::size_t len = 1; len <= 50; ++len) {
    const std::string plain(len, 'a');
    expect_written(one("s", strs({plain, after})), "s\n" + plain + "\n\"" + after + "\"\n", true);
    for (char special : {',', '"', '\r', '\n', '\xF0'}) {
      for (std::size_t at = 0; at < len; ++at) {
        std::string text = plain;
        text[at] = special;
        std::string field = text;
        if (special != '\xF0') {
          field = "\"";
          for (char c : text) field += c == '"' ? std::string("\"\"") : std::string(1, c);
          field += '"';
        }
        EXPECT_EQ(quote(text), field) << static_cast<int>(special) << " at " << at << " of " << len;
        expect_written(one("s", strs({text, after})), "s\n" + field + "\n\"" + after + "\"\n", special != '\xF0');
      }
    }
  }
  // Bytes next to the special ones in value are no reason to quote.
  EXPECT_EQ(quote("+-!#$%&'()*/\x0F\x01\xAC\xA2\x8D\x8A"), "+-!#$%&'()*/\x0F\x01\xAC\xA2\x8D\x8A");
  // Non-ASCII bytes in a name or in a quoted cell's leading white space.
  expect_written(one("\xC3\xA9", strs({"x"})), "\xC3\xA9\nx\n", false);
  expect_written(one("s", strs({"\xC2\xA0x"})), "s\n\"\xC2\xA0x\"\n", false);
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
// far too small, so it must grow several times mid-row, and in a moving sink
// only a handful of times.
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
  expect_written(t, plain_write(t), false);
  RowIndex rows;
  for (std::size_t r = 0; r < n; r += 3) rows.push_back(static_cast<std::uint32_t>(n - 1 - r));
  const Table view = t.over(rows);
  expect_written(view, plain_write(view), false);
}

// Integer cells against std::to_string: both sides of every digit count (the
// one- and two-word paths end at 10^8 and 10^16), both signs, and random
// values of every bit length, each followed by a cell that would show any
// byte written past the digits.
TEST(CsvWriteInts, EveryDigitCountAndRandomValues) {
  std::vector<std::int64_t> values{0, std::numeric_limits<std::int64_t>::min()};
  for (std::int64_t low = 1; low <= std::numeric_limits<std::int64_t>::max() / 10; low *= 10) {
    for (const std::int64_t v : {low, low + 1, low - 1, low * 5, low * 10 - 2, low * 10 - 1, low * 10}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  values.push_back(std::numeric_limits<std::int64_t>::max());
  std::mt19937_64 rng(17);
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<std::int64_t>(rng()) >> (rng() % 64));
  I64Col ints;
  StrCol after;
  std::string want = "i,s\n";
  for (const std::int64_t v : values) {
    ints.push(v);
    after.push("x");
    want += std::to_string(v) + ",x\n";
  }
  Table t;
  ASSERT_TRUE(t.add("i", std::move(ints)) && t.add("s", std::move(after)));
  EXPECT_EQ(write(t), want);
}

}  // namespace
}  // namespace kelo_frame::csv
