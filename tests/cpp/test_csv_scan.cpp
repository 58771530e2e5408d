// The fast scan against the exact one, on random and hostile texts.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "csv/block_masks.hpp"
#include "csv/scan.hpp"
#include "engine/cpu.hpp"

namespace kelo_frame::csv {
namespace {

// The text with CR and LF made visible, for failure messages.
std::string shown(std::string_view text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
  return out;
}

// Fails the test when fast gave a result that differs from the exact scan's.
void expect_same(std::string_view text, const std::optional<Scanned>& fast) {
  const auto exact = scan_exact(text);
  if (!fast) return;
  ASSERT_TRUE(exact) << "fast scan accepted a text the exact scan refuses (" << exact.error() << "): " << shown(text);
  ASSERT_EQ(fast->names, exact->names) << shown(text);
  ASSERT_EQ(fast->rows, exact->rows) << shown(text);
  ASSERT_EQ(fast->quoted, exact->quoted) << shown(text);
  ASSERT_EQ(fast->columns.size(), exact->columns.size()) << shown(text);
  for (std::size_t c = 0; c < fast->columns.size(); ++c) {
    ASSERT_EQ(fast->columns[c].size(), exact->rows);
    for (std::size_t r = 0; r < exact->rows; ++r) {
      const Bounds a = fast->columns[c][r];
      const Bounds b = exact->columns[c][r];
      ASSERT_TRUE(a.start == b.start && a.end == b.end) << "column " << c << " row " << r << ": " << shown(text);
    }
  }
}

TEST(CsvScan, FastEqualsExactOnRandomBytes) {
  std::mt19937_64 rng(7);
  const std::string_view alphabet = "a1\",\n\r ";
  for (int i = 0; i < 60000; ++i) {
    std::string text(rng() % 300 + 1, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    expect_same(text, scan_fast(text));
    if (HasFatalFailure()) return;
  }
}

// Well-formed CSV with every kind of field and line end, sometimes broken on
// purpose. The fast scan must take every unbroken text.
TEST(CsvScan, FastEqualsExactOnGeneratedCsv) {
  std::mt19937_64 rng(11);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const char* terminators[] = {"\n", "\r\n", "\r"};
  const std::string_view plain = "ab1-.e9 ";
  const std::string_view quoted_bytes = "x\",\n\r1 ";
  int taken = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::size_t width = 1 + pick(5);
    std::string text;
    if (pick(4) == 0) text += terminators[pick(3)];  // blank lines first
    bool broken = false;
    const std::size_t records = pick(40);
    for (std::size_t r = 0; r <= records; ++r) {
      std::size_t fields = width;
      if (r != 0 && pick(60) == 0) {
        fields = pick(2 * width + 1);  // a record of another width (or blank)
        if (fields == 0) fields = 1;
        if (fields != width) broken = true;
      }
      for (std::size_t f = 0; f < fields; ++f) {
        if (f != 0) text += ',';
        const std::size_t len = pick(8) == 0 ? 40 + pick(100) : pick(6);
        if (pick(3) == 0) {
          text += '"';
          for (std::size_t k = 0; k < len; ++k) {
            const char c = quoted_bytes[pick(quoted_bytes.size())];
            text += c;
            if (c == '"') text += '"';
          }
          text += '"';
        } else {
          for (std::size_t k = 0; k < len; ++k) text += plain[pick(plain.size())];
          if (pick(200) == 0) {
            text += "q\"";  // a quote inside an unquoted field
            broken = true;
          }
        }
      }
      if (r != records || pick(2) == 0) text += terminators[pick(3)];
      if (pick(30) == 0) text += terminators[pick(3)];  // a blank line
    }
    if (pick(100) == 0) {
      text += "\"open";
      broken = true;
    }
    const auto fast = scan_fast(text);
    expect_same(text, fast);
    if (HasFatalFailure()) return;
    if (!broken && scan_exact(text)) {
      EXPECT_TRUE(fast.has_value()) << shown(text);
      taken += fast.has_value() ? 1 : 0;
    }
  }
  EXPECT_GT(taken, 10000);
}

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

}  // namespace
}  // namespace kelo_frame::csv
