#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <format>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "csv/int_text.hpp"
#include "csv/read.hpp"
#include "csv/read_fused.hpp"
#include "csv/scan.hpp"
#include "csv/span.hpp"
#include "csv/typing.hpp"

namespace kelo_frame::csv {
namespace {

std::string show_text(std::string_view s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// A table as one line: name:dtype=[cells] per column, "_" for a missing cell.
std::string show(const Table& t) {
  std::string out;
  for (const Column& c : t.columns) {
    if (!out.empty()) out += " | ";
    out += c.name + ":" + std::string(dtype_name(*c.col)) + "=[";
    const std::size_t n = storage_length(*c.col);
    for (std::size_t r = 0; r < n; ++r) {
      if (r != 0) out += ",";
      if (!present(*c.col, r)) {
        out += "_";
        continue;
      }
      std::visit(
          [&](const auto& col) {
            using T = std::decay_t<decltype(col)>;
            if constexpr (std::is_same_v<T, StrCol>) {
              out += show_text(col.at(r));
            } else {
              out += std::format("{}", col.values[r]);
            }
          },
          *c.col);
    }
    out += "]";
  }
  return out;
}

std::string show(const std::vector<std::string>& names, std::vector<Col> cols) {
  Table t;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    if (!t.add(names[c], std::move(cols[c]))) return "repeated name";
  }
  return show(t);
}

std::string read_show(std::string_view text) {
  auto t = read(text);
  if (!t) return "error: " + t.error();
  return show(*t);
}

// Which tables and messages texts give is checked from Python (and the size
// limit in test_limits); the tests here reach what Python cannot: the span and
// integer helpers, and the fused reading against the plain one.
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
// cells, texts with doubled quotes and line ends inside quotes.
std::string mixed_csv(std::mt19937_64& rng) {
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::size_t width = 1 + pick(6);
  const std::size_t rows = pick(400);
  const char* ends[] = {"\n", "\r\n", "\r"};
  std::vector<std::size_t> turn(width);  // the row at which each column changes
  std::vector<std::size_t> kind(width);
  std::string text;
  for (std::size_t c = 0; c < width; ++c) {
    text += (c ? ",c" : "c") + std::to_string(c);
    turn[c] = pick(rows + 2);
    kind[c] = pick(5);
  }
  text += ends[pick(3)];
  for (std::size_t r = 0; r < rows; ++r) {
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
          text += texts[pick(8)];
          break;
        }
      }
    }
    text += ends[pick(3)];
    if (pick(40) == 0) text += ends[pick(3)];
  }
  return text;
}

TEST(CsvRead, FusedReadEqualsWholeTextReading) {
  std::mt19937_64 rng(5);
  int fused = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = mixed_csv(rng);
    auto scanned = scan_exact(text);
    ASSERT_TRUE(scanned) << scanned.error();
    const std::vector<std::string> names = scanned->names;
    const std::string want = show(names, type_columns(text, *scanned));
    for (const std::size_t chunk : {std::size_t{64}, std::size_t{192}, std::size_t{1} << 19}) {
      auto got = read_fused(text, chunk);
      if (!got) continue;  // too many late str columns: the whole-text reading takes over
      ++fused;
      ASSERT_EQ(show(got->names, std::move(got->cols)), want) << "chunk " << chunk << ": " << show_text(text);
    }
    ASSERT_EQ(read_show(text), want);
  }
  EXPECT_GT(fused, 6000);
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

const std::filesystem::path kData = KELO_TEST_DATA;

TEST(CsvRead, PublicFiles) {
  struct FileCase {
    const char* path;
    std::string_view dtypes;  // the dtype of each column, one letter each: i, f, s
    std::uint64_t rows;
  };
  const FileCase cases[] = {
      {"datasets/country-codes/country-codes.csv", "", 249},
      {"../../data/s-and-p-500.csv", "sfffffffff", 1866},
      {"../../data/exchange-rates-monthly.csv", "ssf", 17237},
      {"datasets/covid-19/worldwide-aggregate.csv", "siiif", 816},
      {"csv-corpus/commons-csv/bom.csv", "sffsfi", 251},
  };
  for (const FileCase& c : cases) {
    const std::string text = slurp(kData / c.path);
    ASSERT_FALSE(text.empty()) << c.path;
    auto t = read(text);
    ASSERT_TRUE(t) << c.path << ": " << t.error();
    EXPECT_EQ(t->height, c.rows) << c.path;
    if (!c.dtypes.empty()) {
      std::string got;
      for (auto d : t->dtypes()) got += d[0];
      EXPECT_EQ(got, c.dtypes) << c.path;
    }
  }
  auto cc = read(slurp(kData / "datasets/country-codes/country-codes.csv"));
  int ints = 0;
  for (auto d : cc->dtypes()) ints += d == "i64";
  EXPECT_EQ(cc->width(), 56U);
  EXPECT_EQ(ints, 8);
  EXPECT_EQ(read(slurp(kData / "csv-corpus/commons-csv/test.csv")).error(), "line 7: text after a closing quote");
}

}  // namespace
}  // namespace kelo_frame::csv
