// write_into against write(): a sink that moves its area on every resize and
// fills the new bytes with junk, so that the writer must carry over exactly
// what it wrote and never read past it; the ASCII flag for every place a
// non-ASCII byte can come from; and the growth of a large table through a
// sink that hands out tight areas.
#include <gtest/gtest.h>

#include "rowops_cols.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "csv/write.hpp"

namespace kelo_frame::csv {
namespace {

using rowops_test::f64s;
using rowops_test::i64s;
using rowops_test::strs;

// A new area on every resize, the kept bytes copied and the rest junk. It
// gives exactly the size asked for (plus nothing), and records the sizes.
class MovingSink final : public Sink {
 public:
  char* resize(std::size_t keep, std::size_t size) override {
    auto next = std::make_unique<char[]>(size);
    std::memset(next.get(), 0xA5, size);  // junk: also not ASCII
    EXPECT_LE(keep, size);
    EXPECT_LE(keep, size_);
    if (keep > 0) std::memcpy(next.get(), area_.get(), keep);
    area_ = std::move(next);
    size_ = size;
    sizes.push_back(size);
    return area_.get();
  }

  [[nodiscard]] std::string text(const Written& w) const {
    EXPECT_LE(w.size, size_);
    return {area_.get(), w.size};
  }

  std::vector<std::size_t> sizes;

 private:
  std::unique_ptr<char[]> area_;
  std::size_t size_ = 0;
};

Table table_of(std::vector<std::pair<std::string, Col>> cols) {
  Table t;
  for (auto& [name, col] : cols) EXPECT_TRUE(t.add(name, std::move(col)));
  return t;
}

// The ASCII flag for every place a non-ASCII byte can come from: numbers,
// plain texts, a name, a quoted cell, leading white space (high bytes at every
// place of a cell are HighByteAtEveryOffset's).
TEST(CsvWriteSink, AsciiFlagAndTextMatchWrite) {
  const std::pair<Table, bool> cases[] = {
      {table_of({{"a", i64s({1, std::nullopt, -3})}, {"b", f64s({0.5, 1e300, std::nullopt})}}), true},
      {table_of({{"s", strs({"x", "a,b", "", std::nullopt, "1.5"})}}), true},
      {table_of({{"\xC3\xA9", i64s({1})}}), false},
      {table_of({{"s", strs({"a,\"\xE2\x80\x83"})}}), false},
      {table_of({{"s", strs({"\xC2\xA0x"})}}), false},
  };
  for (const auto& [table, ascii] : cases) {
    MovingSink sink;
    const Written w = write_into(table, sink);
    EXPECT_EQ(sink.text(w), write(table));
    EXPECT_EQ(w.ascii, ascii) << write(table);
  }
}

// Non-ASCII bytes at every position of a cell, and cells of every length
// around the word sizes: the flag is set exactly when one is present.
TEST(CsvWriteSink, HighByteAtEveryOffset) {
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at <= len; ++at) {
      std::string text(len, 'q');
      if (at < len) text[at] = '\xF0';
      // The cells before and after are ASCII and longer, so that reading past
      // the cell's end would see other text.
      const Table t = table_of({{"s", strs({std::string(20, 'z'), text, std::string(40, 'z')})}});
      MovingSink sink;
      const Written w = write_into(t, sink);
      EXPECT_EQ(w.ascii, at == len) << len << " " << at;
      EXPECT_EQ(sink.text(w), write(t));
    }
  }
}

// Many rows through a sink that moves on every growth: the text is the same
// as write()'s, and the area grows a handful of times, not once per run.
TEST(CsvWriteSink, LargeTableThroughMovingSink) {
  std::mt19937_64 rng(21);
  I64Col i;
  F64Col f;
  StrCol s;
  for (int r = 0; r < 200000; ++r) {
    i.push(static_cast<std::int64_t>(rng()));
    if (r % 7 == 0) {
      f.push_missing();
    } else {
      f.push(static_cast<double>(rng() % 1000000) / 1e3);
    }
    s.push(std::string(rng() % (r < 1000 ? 3 : 60), static_cast<char>('a' + r % 26)));
  }
  Table t;
  ASSERT_TRUE(t.add("i", std::move(i)));
  ASSERT_TRUE(t.add("f", std::move(f)));
  ASSERT_TRUE(t.add("s", std::move(s)));
  MovingSink sink;
  const Written w = write_into(t, sink);
  EXPECT_TRUE(w.ascii);
  EXPECT_EQ(sink.text(w), write(t));
  EXPECT_LT(sink.sizes.size(), 12U);
}

}  // namespace
}  // namespace kelo_frame::csv
