#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/cpu.hpp"
#include "engine/match_masks.hpp"

namespace kelo_frame {
namespace {

using Masks = std::vector<std::uint64_t>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Every version of among_masks this processor runs.
template <class T>
using AmongFn = void (*)(const T*, std::size_t, std::span<const T>, std::uint64_t*) noexcept;

template <class T>
std::vector<AmongFn<T>> among_versions() {
  std::vector<AmongFn<T>> out{among_masks, among_masks_scalar};
#if defined(__x86_64__)
  if (cpu::has_avx2()) out.push_back(among_masks_avx2);
#endif
  return out;
}

using TextFn = void (*)(const std::uint64_t*, std::size_t, const char*, std::size_t, std::span<const TextKey>,
                        std::uint64_t*) noexcept;

std::vector<TextFn> text_versions() {
  std::vector<TextFn> out{text_masks, text_masks_scalar};
#if defined(__x86_64__)
  if (cpu::has_avx2()) out.push_back(text_masks_avx2);
#endif
  return out;
}

// Checks every version against a plain reference on the cells from position
// 5 on, and that none writes past the last word.
template <class T>
void expect_among(std::size_t rows, const std::vector<T>& values, const std::vector<std::vector<T>>& lists) {
  for (const auto& wanted : lists) {
    Masks want((rows + 63) / 64, 0);
    for (std::size_t i = 0; i < rows; ++i) {
      const T c = values[5 + i];
      if (std::any_of(wanted.begin(), wanted.end(), [c](T w) { return c == w; })) want[i / 64] |= 1ULL << (i % 64);
    }
    for (const auto fn : among_versions<T>()) {
      Masks got(want.size() + 1, 0xdead);
      fn(values.data() + 5, rows, wanted, got.data());
      EXPECT_EQ(got.back(), 0xdeadU) << "wrote past the last word";
      got.pop_back();
      EXPECT_EQ(got, want);
    }
  }
}

// Row counts around the 4-cell and 64-cell steps, from a start that is not a
// multiple of either, so that loads are unaligned and the last word partial.
class AmongMasks : public testing::TestWithParam<std::size_t> {};

TEST_P(AmongMasks, I64MatchesReference) {
  const std::size_t rows = GetParam();
  std::mt19937_64 rng(rows);
  std::vector<std::int64_t> values(rows + 5);
  for (auto& v : values) v = static_cast<std::int64_t>(rng() % 9) - 4;
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  values[rows / 2] = min;
  expect_among<std::int64_t>(rows, values, {{3}, {-4, 0}, {1, 1, 2}, {min, 4, -1, 2, 0}, {100}});
}

// NaN is never wanted (the filter drops it); -0.0 must match 0.0 cells too.
TEST_P(AmongMasks, F64ComparesAsNumbers) {
  const std::size_t rows = GetParam();
  std::mt19937_64 rng(rows + 1);
  const std::vector<double> pool{0.0, -0.0, nan, inf, -inf, 1.5, -2.0, 7.0};
  std::vector<double> values(rows + 5);
  for (auto& v : values) v = pool[rng() % pool.size()];
  expect_among<double>(rows, values, {{-0.0}, {inf, 1.5}, {7.0, -2.0, 7.0, -inf}});
}

INSTANTIATE_TEST_SUITE_P(Rows, AmongMasks, testing::Values(0, 1, 3, 4, 5, 63, 64, 65, 127, 128, 129, 300));

// A text column whose bytes end exactly at the end of a readable page, so
// that a read past the last byte faults.
class GuardedText {
 public:
  GuardedText(const std::vector<std::string>& cells) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    std::string all;
    offsets_.push_back(0);
    for (const std::string& c : cells) {
      all += c;
      offsets_.push_back(all.size());
    }
    size_ = all.size();
    pages_ = (size_ + page_ - 1) / page_ + 1;
    void* map = mmap(nullptr, pages_ * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(map, MAP_FAILED);
    base_ = static_cast<char*>(map);
    EXPECT_EQ(mprotect(base_ + (pages_ - 1) * page_, page_, PROT_NONE), 0);
    bytes_ = base_ + (pages_ - 1) * page_ - size_;
    std::memcpy(bytes_, all.data(), size_);
  }
  ~GuardedText() { munmap(base_, pages_ * page_); }
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;

  [[nodiscard]] const std::uint64_t* offsets() const { return offsets_.data(); }
  [[nodiscard]] const char* bytes() const { return bytes_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  std::size_t page_;
  std::size_t pages_ = 0;
  char* base_ = nullptr;
  char* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::vector<std::uint64_t> offsets_;
};

// Cells of every length from 0 to 70 over a three-letter alphabet (NUL
// included), so that many share a length and a prefix with a wanted text.
std::vector<std::string> texts(std::mt19937_64& rng, std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    std::string s(rng() % 71, 'a');
    for (char& ch : s) ch = "ab\0"[rng() % 3];
    if (rng() % 4 == 0) s = std::string(s.size(), 'a');
    out.push_back(std::move(s));
  }
  return out;
}

class TextMasks : public testing::TestWithParam<std::size_t> {};

TEST_P(TextMasks, MatchLengthAndFirstEightBytes) {
  const std::size_t rows = GetParam();
  std::mt19937_64 rng(rows + 2);
  std::vector<std::string> cells = texts(rng, rows);
  // The last cells are short: their 8-byte loads would cross the end.
  for (std::size_t i = 0; i < std::min<std::size_t>(rows, 3); ++i) cells[rows - 1 - i].resize(i);
  const GuardedText column(cells);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> wanted = texts(rng, rng() % 4 + 1);
    if (rows != 0) wanted.push_back(cells[rng() % rows]);
    if (round % 5 == 0) wanted.emplace_back();
    std::vector<TextKey> keys;
    for (const std::string& w : wanted) keys.push_back(text_key(w.data(), w.size()));
    for (const std::size_t from : {std::size_t{0}, std::min<std::size_t>(rows, 3)}) {
      const std::size_t n = rows - from;
      Masks want((n + 63) / 64, 0);
      for (std::size_t i = 0; i < n; ++i) {
        const std::string& c = cells[from + i];
        const auto same = [&c](const std::string& w) {
          return w.size() == c.size() && w.substr(0, 8) == c.substr(0, 8);
        };
        if (std::any_of(wanted.begin(), wanted.end(), same)) want[i / 64] |= 1ULL << (i % 64);
      }
      for (const auto fn : text_versions()) {
        Masks got(want.size());
        fn(column.offsets() + from, n, column.bytes(), column.size(), keys, got.data());
        ASSERT_EQ(got, want) << "rows " << n;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, TextMasks, testing::Values(0, 1, 4, 7, 63, 64, 65, 128, 131, 500));

TEST(TextMasks, ShortCellsAtTheVeryEnd) {
  // A column of 200 cells of 0 or 1 byte: most 8-byte loads of the last
  // words would cross the end of the bytes.
  std::vector<std::string> cells;
  for (std::size_t i = 0; i < 200; ++i) cells.emplace_back(i % 3 == 0 ? "" : "x");
  const GuardedText column(cells);
  const std::vector<TextKey> keys{text_key("x", 1)};
  for (const auto fn : text_versions()) {
    Masks got(4);
    fn(column.offsets(), cells.size(), column.bytes(), column.size(), keys, got.data());
    for (std::size_t i = 0; i < cells.size(); ++i) ASSERT_EQ((got[i / 64] >> (i % 64)) & 1, i % 3 != 0 ? 1U : 0U);
  }
}

}  // namespace
}  // namespace kelo_frame
