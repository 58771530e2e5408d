// Assignment: what grouping finds about a table's positions, and the ways of
// finding it.
//
// Every way assigns group ids in the order the groups first appear, scanning
// the positions in order, so that any two of them give the same ids.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "group_ids.hpp"
#include "table.hpp"

namespace kelo_frame {

// The group of every position (ids), the first row of every group (firsts)
// and every group's row count (counts).
struct Assignment {
  GroupIds ids;
  std::vector<std::uint32_t> firsts;
  std::vector<std::uint64_t> counts;
};

// The group ids of `height` positions, assigned by run_from(ids, from): it
// assigns positions from `from` on and returns the first position whose
// group id might not fit the ids' width (the height when done). Ids start 8
// bits wide, which most groupings need alone, and are widened to 16 and then
// 32 bits, the ids assigned so far copied over.
template <class RunFrom>
[[nodiscard]] GroupIds assign_widening(std::uint64_t height, RunFrom run_from) {
  GroupIds::Buffer<std::uint8_t> ids8(height);
  std::uint64_t p = run_from(ids8.data(), 0);
  if (p == height) return GroupIds(std::move(ids8));
  GroupIds::Buffer<std::uint16_t> ids16(height);
  std::copy_n(ids8.begin(), p, ids16.begin());
  ids8 = {};
  p = run_from(ids16.data(), p);
  if (p == height) return GroupIds(std::move(ids16));
  GroupIds::Buffer<std::uint32_t> ids32(height);
  std::copy_n(ids16.begin(), p, ids32.begin());
  ids16 = {};
  run_from(ids32.data(), p);
  return GroupIds(std::move(ids32));
}

// Counts the positions [from, height) into their groups' counts. Grouping
// counts while ids are 8 bits wide (the counts stay in cache); past that,
// one pass over the ids counts the rest, which costs less than a scattered
// increment inside the probe loop.
inline void count_from(const GroupIds& ids, std::uint64_t from, std::uint64_t height, std::uint64_t* counts) {
  ids.visit([&](const auto* id) {
    for (std::uint64_t p = from; p < height; ++p) ++counts[id[p]];
  });
}

// Groups the positions of table by one key column (of the same height).
// (group.cpp)
[[nodiscard]] Assignment assign_column(const Table& table, const Col& key);

// Groups the positions of table by a str key column. (text_key.cpp)
[[nodiscard]] Assignment assign_texts(const Table& table, const StrCol& key);

// Groups the positions of table by an i64 key column whose keys lie within a
// range a direct table can cover; nothing when they do not. (range_key.cpp)
[[nodiscard]] bool assign_by_range(const Table& table, const I64Col& key, Assignment& out);

// Groups the positions of table by two or more key columns: each column is
// grouped on its own, and the per-column ids are then combined. (key_fold.cpp)
[[nodiscard]] Assignment assign_many(const Table& table, const Table& keys);

}  // namespace kelo_frame
