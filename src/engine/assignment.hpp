// Assignment: what grouping finds about a table's positions, and the ways of
// finding it.
//
// Every way assigns group ids in the order the groups first appear, scanning
// the positions in order, so that any two of them give the same ids.
#pragma once

#include <cstdint>
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
