// Grouping by several key columns: each key column is grouped on its own
// (to dense ids in first-appearance order), and the columns' ids are folded
// into one id per position, left to right.
//
// Two keys are equal when every column's cells are, which is when every
// column's ids are; so the tuple of a position's column ids stands for its
// key. Folding a tuple (a, b) of a columns' ids, with b below m, gives the
// code a * m + b: while the product of the columns' group counts is small,
// the code indexes a direct table; past that, codes are 64-bit numbers made
// from several columns at once and then mapped to ids by a hash map. Each
// mapping scans the positions in order and numbers codes as they first
// appear, so the final ids are those of the key tuples in first-appearance
// order, as grouping by one hash of the whole key would give.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "assignment.hpp"
#include "direct_ids.hpp"
#include "prefetch.hpp"

namespace kelo_frame {

namespace {

using Codes = GroupIds::Buffer<std::uint64_t>;

// Many key columns lie anywhere in memory, and each is short work when the
// table is short: while one is grouped, the cache is asked for the holder of
// the column kColumnsAhead places on and the first cells of the one half as
// far on.
constexpr std::size_t kColumnsAhead = 4;

void prefetch_key(const Table& keys, std::size_t c) noexcept {
  const std::size_t n = keys.columns.size();
  if (c + kColumnsAhead < n) prefetch(keys.columns[c + kColumnsAhead].col.get());
  if (c + kColumnsAhead / 2 < n) {
    std::visit(
        [](const auto& col) {
          if constexpr (std::is_same_v<std::decay_t<decltype(col)>, StrCol>) {
            prefetch(col.offsets.data());
            prefetch(col.bytes.data());
          } else {
            prefetch(col.values.data());
          }
        },
        *keys.columns[c + kColumnsAhead / 2].col);
  }
}

// A map slot: a code and its group id (id + 1; 0 marks an empty slot).
struct CodeSlot {
  std::uint64_t code;
  std::uint64_t id;
};

// Maps the code of every position to a group id, numbering codes in the
// order they first appear (open addressing, linear probing).
Assignment number_codes(const Codes& codes, const std::uint32_t* index) {
  const std::uint64_t height = codes.size();
  Assignment out;
  GroupIds::Buffer<std::uint32_t> ids(height);
  int bits = 12;
  std::vector<CodeSlot> slots(std::size_t{1} << bits, CodeSlot{0, 0});
  std::uint64_t mask = slots.size() - 1;
  const auto home = [&bits](std::uint64_t code) { return (code * 0x9E3779B97F4A7C15ULL) >> (64 - bits); };
  // Only a map larger than the cache gains from asking for slots ahead.
  constexpr std::uint64_t ahead = 16;
  for (std::uint64_t p = 0; p < height; ++p) {
    if (p + ahead < height && bits > 14) prefetch(&slots[home(codes[p + ahead])]);
    const std::uint64_t code = codes[p];
    std::uint64_t s = home(code);
    while (slots[s].id != 0 && slots[s].code != code) s = (s + 1) & mask;
    std::uint32_t g = 0;
    if (slots[s].id != 0) {
      g = static_cast<std::uint32_t>(slots[s].id - 1);
    } else {
      g = static_cast<std::uint32_t>(out.firsts.size());
      slots[s] = CodeSlot{code, std::uint64_t{g} + 1};
      out.firsts.push_back(index != nullptr ? index[p] : static_cast<std::uint32_t>(p));
      out.counts.push_back(0);
      // Kept at most 5/8 full; grown by doubling.
      if (out.firsts.size() * 8 > slots.size() * 5) {
        std::vector<CodeSlot> old = std::exchange(slots, std::vector<CodeSlot>(slots.size() * 2, CodeSlot{0, 0}));
        ++bits;
        mask = slots.size() - 1;
        for (const CodeSlot& o : old) {
          if (o.id == 0) continue;
          std::uint64_t t = home(o.code);
          while (slots[t].id != 0) t = (t + 1) & mask;
          slots[t] = o;
        }
      }
    }
    ids[p] = g;
    ++out.counts[g];
  }
  out.ids = GroupIds(std::move(ids));
  return out;
}

// The group count of an assignment.
std::uint64_t groups_of(const Assignment& a) { return a.firsts.size(); }

}  // namespace

Assignment assign_many(const Table& table, const Table& keys) {
  const std::uint64_t height = table.height;
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;
  const std::uint64_t limit = direct_limit(height);
  prefetch_key(keys, 0);
  Assignment folded = assign_column(table, *keys.columns.front().col);
  // Past the direct table: codes of the columns folded so far, each below
  // bound.
  Codes codes;
  std::uint64_t bound = 0;
  for (std::size_t c = 1; c < keys.columns.size(); ++c) {
    prefetch_key(keys, c);
    Assignment next = assign_column(table, *keys.columns[c].col);
    const std::uint64_t m = groups_of(next);
    if (codes.empty()) {
      const std::uint64_t n = groups_of(folded);
      std::uint64_t product = 0;
      if (!__builtin_mul_overflow(n, m, &product) && product <= limit) {
        folded = folded.ids.visit([&](const auto* a) {
          return next.ids.visit([&](const auto* b) {
            return assign_direct(height, product, index,
                                 [a, b, m](std::uint64_t p) { return std::uint64_t{a[p]} * m + std::uint64_t{b[p]}; });
          });
        });
        continue;
      }
      codes.resize(height);
      folded.ids.visit([&](const auto* a) {
        next.ids.visit([&](const auto* b) {
          for (std::uint64_t p = 0; p < height; ++p) codes[p] = std::uint64_t{a[p]} * m + std::uint64_t{b[p]};
        });
      });
      folded = {};
      bound = n * m;  // at most 2^64 - 1: both counts are at most 2^32 - 1
      continue;
    }
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(bound, m, &product)) {
      // The codes would not fit 64 bits: number them first.
      folded = number_codes(codes, index);
      const std::uint64_t n = groups_of(folded);
      folded.ids.visit([&](const auto* a) {
        next.ids.visit([&](const auto* b) {
          for (std::uint64_t p = 0; p < height; ++p) codes[p] = std::uint64_t{a[p]} * m + std::uint64_t{b[p]};
        });
      });
      folded = {};
      bound = n * m;
      continue;
    }
    next.ids.visit([&](const auto* b) {
      for (std::uint64_t p = 0; p < height; ++p) codes[p] = codes[p] * m + std::uint64_t{b[p]};
    });
    bound = product;
  }
  if (codes.empty()) return folded;
  if (bound <= limit) {
    const std::uint64_t* cs = codes.data();
    return assign_direct(height, bound, index, [cs](std::uint64_t p) { return cs[p]; });
  }
  return number_codes(codes, index);
}

}  // namespace kelo_frame
