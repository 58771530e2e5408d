// Groups: a table split into groups of rows with equal key cells.
//
// Groups are in order of first appearance in the table's view; the rows of a
// group are in view order. Grouping records the group of every position, the
// first row and the row count of every group; aggregations need no more. The
// row lists of all groups, kept in one flat buffer, are laid out only when
// first asked for (group()), since that costs about as much as an aggregation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "group_ids.hpp"
#include "table.hpp"

namespace kelo_frame {

// The aggregate of Groups::agg.
enum class Agg : std::uint8_t { Sum, Mean, Min, Max };

class Groups {
 public:
  Table table;                        // the grouped table, sharing its source's storage
  std::vector<std::string> keys;      // the key column names, in the order given
  std::vector<std::uint32_t> firsts;  // the first row of every group
  std::vector<std::uint64_t> counts;  // the number of rows of every group
  // The group of each position of table, in position order, or empty. When
  // present, aggregations make one sequential pass over the table with it
  // instead of visiting each group's rows across the whole column. Grouping
  // leaves it empty only for fewer than two groups; with more, the row lists
  // are laid out from it, so it must not be cleared before group() was called.
  GroupIds ids;

  [[nodiscard]] std::uint64_t size() const noexcept { return counts.size(); }
  // The rows of group g in view order; lays out every group's rows on first
  // use. (group.cpp)
  [[nodiscard]] std::span<const std::uint32_t> group(std::uint64_t g) const;

  // The key columns, materialised: one row per group holding its first row's
  // key cells. (group.cpp)
  [[nodiscard]] Table key_table() const;

  // --- aggregation (aggregate.cpp) ---

  [[nodiscard]] Result<Table> agg(std::string_view name, Agg op) const;
  [[nodiscard]] Table count() const;
  // The key table with col appended under name.
  [[nodiscard]] Result<Table> with(std::string_view name, Col col) const;

 private:
  // Every group's rows, group after group: group g is rows[starts[g],
  // starts[g + 1]). Built by group() on first use and stored only once
  // complete, so a failed allocation leaves no half-built lists; a Groups is
  // used by one thread at a time, so a plain cache serves.
  struct RowLists {
    std::vector<std::uint32_t> rows;
    std::vector<std::uint64_t> starts;
  };
  [[nodiscard]] const RowLists& row_lists() const;
  mutable std::optional<RowLists> lists_;
};

// The least (Min) or greatest (any other op) present text among the given
// rows of cells, comparing bytes unsigned with a prefix first; the earliest
// wins a tie. Nothing when no row's cell is present. (aggregate.cpp)
[[nodiscard]] std::optional<std::string_view> pick(std::span<const std::uint32_t> rows, const StrCol& cells, Agg op);

}  // namespace kelo_frame
