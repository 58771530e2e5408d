// Grouping by an i64 key column whose keys span a small range: the group of a
// key is found in a direct table indexed by the key's distance from the least
// key (one more slot holds the missing key), with no hash and no compare.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "assignment.hpp"
#include "direct_ids.hpp"

namespace kelo_frame {

namespace {

// The least and greatest present key over the viewed rows; false as soon as
// they are further apart than limit allows, or when no key is present.
bool key_range(const Table& table, const I64Col& key, std::uint64_t limit, std::int64_t& lo, std::int64_t& hi) {
  const std::int64_t* values = key.values.data();
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;
  const bool dense = key.valid.all_present();
  bool any = false;
  lo = 0;
  hi = 0;
  // Blocks of rows, so that a key column with a wide range (as random ids
  // have) gives up after one block.
  constexpr std::uint64_t block = 4096;
  for (std::uint64_t from = 0; from < table.height; from += block) {
    const std::uint64_t to = std::min(table.height, from + block);
    std::int64_t a = std::numeric_limits<std::int64_t>::max();
    std::int64_t b = std::numeric_limits<std::int64_t>::min();
    if (dense && index == nullptr) {
      for (std::uint64_t p = from; p < to; ++p) {
        a = std::min(a, values[p]);
        b = std::max(b, values[p]);
      }
    } else {
      for (std::uint64_t p = from; p < to; ++p) {
        const std::uint32_t r = index != nullptr ? index[p] : static_cast<std::uint32_t>(p);
        if (!dense && !key.present(r)) continue;
        a = std::min(a, values[r]);
        b = std::max(b, values[r]);
      }
    }
    if (a > b) continue;
    lo = any ? std::min(lo, a) : a;
    hi = any ? std::max(hi, b) : b;
    any = true;
    if (static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) >= limit) return false;
  }
  return any;
}

}  // namespace

bool assign_by_range(const Table& table, const I64Col& key, Assignment& out) {
  // Two slots beyond the range: its last key and the missing key.
  const std::uint64_t limit = direct_limit(table.height) - 2;
  std::int64_t lo = 0;
  std::int64_t hi = 0;
  if (!key_range(table, key, limit, lo, hi)) return false;
  const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
  const auto base = static_cast<std::uint64_t>(lo);
  const std::int64_t* values = key.values.data();
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;
  const std::uint64_t size = span + 1;
  if (key.valid.all_present()) {
    if (index == nullptr) {
      out = assign_direct(table.height, size, nullptr,
                          [=](std::uint64_t p) { return static_cast<std::uint64_t>(values[p]) - base; });
    } else {
      out = assign_direct(table.height, size, index,
                          [=](std::uint64_t p) { return static_cast<std::uint64_t>(values[index[p]]) - base; });
    }
    return true;
  }
  out = assign_direct(table.height, size, index, [&key, values, index, base, span](std::uint64_t p) {
    const std::uint32_t r = index != nullptr ? index[p] : static_cast<std::uint32_t>(p);
    return key.present(r) ? static_cast<std::uint64_t>(values[r]) - base : span;
  });
  return true;
}

}  // namespace kelo_frame
