#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>

#include "../../fuzz/check.hpp"
#include "csv/block_masks.hpp"
#include "csv/int_text.hpp"
#include "csv/read.hpp"
#include "csv/read_fused.hpp"
#include "csv/scan.hpp"
#include "csv/span.hpp"
#include "csv/typing.hpp"
#include "engine/cpu.hpp"

namespace kelo_frame::csv {
namespace {

// A reading's columns as a table (the generated names never repeat).
Table table_of(const std::vector<std::string>& names, std::vector<Rc<Col>> cols) {
  Table t;
  for (std::size_t c = 0; c < cols.size(); ++c) EXPECT_TRUE(t.add(names[c], Col(*cols[c])));
  return t;
}

// Which tables and messages texts give is the csv_read fuzz target's check
// against its reference reader (test_fuzz_targets runs it), the size limit
// test_limits'; here, the span and integer helpers, and the fused reading
// against the whole-text one.
TEST(CsvRead, SpanText) {
  const std::string_view text = "x,\"a\"\"b\"\"\"\"c\",\"\"\"\",\"q\"";
  EXPECT_EQ(Span::text(Span{0, 1, false, false}, text), "x");
  EXPECT_EQ(Span::text(Span{3, 12, true, true}, text), "a\"b\"\"c");
  EXPECT_EQ(Span::text(Span{3, 12, true, false}, text), "a\"\"b\"\"\"\"c");
  EXPECT_EQ(Span::text(Span{15, 17, true, true}, text), "\"");
  EXPECT_EQ(Span::text(Span{20, 21, true, false}, text), "q");
  EXPECT_EQ(Span::text(Span{2, 2, true, false}, text), "");
}

// Integer texts and their limits are read from Python; here the 8-byte loads
// of parse_int: a cell inside a larger buffer must not see its neighbours.
TEST(CsvRead, IntegerLoadsStayInTheCell) {
  const std::string buf = "12,345,6789,0123456789abcdef";
  std::int64_t v = 0;
  const char* s = buf.data();
  const char* limit = s + buf.size();
  ASSERT_TRUE(parse_int(s, s + 2, limit, v));
  EXPECT_EQ(v, 12);
  ASSERT_TRUE(parse_int(s + 3, s + 6, limit, v));
  EXPECT_EQ(v, 345);
  ASSERT_TRUE(parse_int(s + 7, s + 11, limit, v));
  EXPECT_EQ(v, 6789);
  ASSERT_TRUE(parse_int(s + 12, s + 19, limit, v));
  EXPECT_EQ(v, 123456);
  EXPECT_FALSE(parse_int(s + 12, s + 23, limit, v));
}

// A CSV text whose columns change dtype at random rows: integers that turn
// to floats or texts, quoted fields that turn a column to str late, missing
// cells, quoted texts with doubled quotes, separators and line ends inside
// (some longer than a 64-byte block), all three line ends, blank lines. One
// time in eight it is `broken` at a record's start: a record of another
// width, a quote inside an unquoted field, or a quote that may never close.
std::string mixed_csv(std::mt19937_64& rng, bool& broken) {
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::size_t width = 1 + pick(6);
  const std::size_t rows = pick(400);
  const char* ends[] = {"\n", "\r\n", "\r"};
  std::vector<std::size_t> turn(width);  // the row at which each column changes
  std::vector<std::size_t> kind(width);
  std::vector<std::size_t> starts;  // of the records
  std::string text;
  for (std::size_t c = 0; c < width; ++c) {
    text += (c ? ",c" : "c") + std::to_string(c);
    turn[c] = pick(rows + 2);
    kind[c] = pick(5);
  }
  text += ends[pick(3)];
  for (std::size_t r = 0; r < rows; ++r) {
    starts.push_back(text.size());
    for (std::size_t c = 0; c < width; ++c) {
      if (c != 0) text += ',';
      if (pick(12) == 0) continue;  // missing
      const bool late = r >= turn[c];
      switch (late ? kind[c] : 0) {
        case 0: {
          const char* ints[] = {"0", "-0", "+5", "007", "-12", "9223372036854775807", "123456789", "42"};
          text += ints[pick(8)];
          break;
        }
        case 1: {
          const char* floats[] = {
              "2.5", "-0.0", "1e3", ".5", "-inf", "0.30000000000000004", "7", "9223372036854775808"};
          text += floats[pick(8)];
          break;
        }
        case 2: text += r == turn[c] ? "word" : std::to_string(pick(100)); break;
        case 3: text += r == turn[c] ? "\"5\"" : std::to_string(pick(100)); break;
        default: {
          const char* texts[] = {"\"a\"\"b\"", "\"x\ny\"", "\"\"", "plain", "\"c,d\"", "a b", "\"\"\"\"", "12"};
          if (pick(8) != 0) {
            text += texts[pick(8)];
            break;
          }
          text += '"';  // a long quoted text, past a 64-byte block
          for (std::size_t k = 40 + pick(100); k > 0; --k) {
            const char ch = "x\",\n\r1 "[pick(7)];
            text += ch == '"' ? std::string("\"\"") : std::string(1, ch);
          }
          text += '"';
          break;
        }
      }
    }
    text += ends[pick(3)];
    if (pick(40) == 0) text += ends[pick(3)];
  }
  if (pick(8) == 0 && !starts.empty()) {
    const std::string breaks[] = {"1" + std::string(width, ',') + "\n", "q\"z" + std::string(width - 1, ',') + "\n",
                                  "\"open"};
    text.insert(starts[pick(starts.size())], breaks[pick(3)]);
    broken = true;
  }
  return text;
}

// The fast scan takes every unbroken text and agrees with the exact one; the
// fused reading, at any chunk size, agrees with the whole-text reading.
TEST(CsvRead, ScansAndReadingsAgree) {
  std::mt19937_64 rng(5);
  int fused = 0;
  for (int i = 0; i < 4000; ++i) {
    bool broken = false;
    const std::string text = mixed_csv(rng, broken);
    const auto fast = scan_fast(text);
    auto scanned = scan_exact(text);
    ASSERT_TRUE(broken || (fast && scanned)) << "an unbroken text was refused: " << text;
    if (fast) {
      ASSERT_TRUE(scanned) << "the fast scan took a text the exact scan refuses: " << text;
      ASSERT_TRUE(fast->names == scanned->names && fast->rows == scanned->rows && fast->quoted == scanned->quoted);
      for (std::size_t c = 0; c < fast->columns.size(); ++c) {
        for (std::size_t r = 0; r < scanned->rows; ++r) {
          const Bounds x = fast->columns[c][r];
          const Bounds y = scanned->columns[c][r];
          ASSERT_TRUE(x.start == y.start && x.end == y.end) << "column " << c << " row " << r << ": " << text;
        }
      }
    }
    if (!scanned) continue;
    const std::vector<std::string> names = scanned->names;
    const Table want = table_of(names, type_columns(text, *scanned));
    for (const std::size_t chunk : {std::size_t{64}, std::size_t{192}, std::size_t{1} << 19}) {
      auto got = read_fused(text, chunk);
      if (!got) continue;  // too many late str columns: the whole-text reading takes over
      ++fused;
      ASSERT_TRUE(fuzz::same_table(table_of(got->names, std::move(got->cols)), want))
          << "chunk " << chunk << ": " << text;
    }
    ASSERT_TRUE(fuzz::same_table(read(text).value(), want)) << text;
  }
  EXPECT_GT(fused, 6000);
}

// Short records after long ones: the guess taken from the first 64 KB leaves
// too little room for a stretch's fields, so the room grows mid-stretch, in a
// text of several stretches and in one shorter than a stretch (whose room is
// sized by its own length).
TEST(CsvRead, FusedRoomGrowsWithinAStretch) {
  for (const int short_records : {50000, 15000}) {
    std::string text = "a,b,c\n";
    for (int r = 0; r < 100; ++r)
      text += std::to_string(r) + ",\"" + std::string(1000, 'x') + "\",-" + std::to_string(r) + "\n";
    for (int r = 0; r < short_records; ++r) text += std::to_string(r % 13) + ",y," + std::to_string(r * 7) + "\n";
    auto scanned = scan_exact(text);
    ASSERT_TRUE(scanned);
    const Table want = table_of(scanned->names, type_columns(text, *scanned));
    auto got = read_fused(text);
    ASSERT_TRUE(got);
    EXPECT_TRUE(fuzz::same_table(table_of(got->names, std::move(got->cols)), want)) << short_records;
  }
}

// Every vector classifier of 64-byte blocks against the bytewise one.
TEST(CsvScan, VectorMasksEqualBytewise) {
  std::mt19937_64 rng(3);
  std::string bytes(64 * 32, '\0');
  for (int round = 0; round < 200; ++round) {
    for (char& c : bytes) c = static_cast<char>(rng() % 8 == 0 ? "\",\n\r"[rng() % 4] : static_cast<char>(rng()));
    BlockMasks want[32], got[32];
    classify_blocks_bytewise(bytes.data(), 32, want);
    auto same = [&](const char* what) {
      for (int b = 0; b < 32; ++b) {
        ASSERT_EQ(got[b].quote, want[b].quote) << what;
        ASSERT_EQ(got[b].comma, want[b].comma) << what;
        ASSERT_EQ(got[b].lf, want[b].lf) << what;
        ASSERT_EQ(got[b].cr, want[b].cr) << what;
      }
    };
    classify_blocks(bytes.data(), 32, got);
    same("dispatched");
#if defined(__x86_64__)
    classify_blocks_sse2(bytes.data(), 32, got);
    same("sse2");
    if (cpu::has_avx2()) {
      classify_blocks_avx2(bytes.data(), 32, got);
      same("avx2");
    }
#endif
  }
}

// Public data sets (their error cases are in the csv_read fuzz corpus): the
// rows, and the dtypes as one letter a column.
TEST(CsvRead, PublicFiles) {
  const std::tuple<const char*, std::uint64_t, std::string_view> cases[] = {
      {"datasets/country-codes/country-codes.csv", 249, "sssssiisssssssiissssssssssssiiisssssssssssssssssssssisss"},
      {"../../data/s-and-p-500.csv", 1866, "sfffffffff"},
      {"../../data/exchange-rates-monthly.csv", 17237, "ssf"},
      {"datasets/covid-19/worldwide-aggregate.csv", 816, "siiif"},
      {"csv-corpus/commons-csv/bom.csv", 251, "sffsfi"},
  };
  for (const auto& [path, rows, dtypes] : cases) {
    std::ifstream in(std::filesystem::path(KELO_TEST_DATA) / path, std::ios::binary);
    const auto t = read(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(t) << path << ": " << t.error();
    std::string got;
    for (const auto d : t->dtypes()) got += d[0];
    EXPECT_EQ(t->height, rows) << path;
    EXPECT_EQ(got, dtypes) << path;
  }
}

}  // namespace
}  // namespace kelo_frame::csv
