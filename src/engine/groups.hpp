// Groups: a table split into groups of rows with equal key cells.
//
// Groups are in order of first appearance in the table's view; the rows of a
// group are in view order. The row lists of all groups are kept in one flat
// buffer: group g holds rows[starts[g]] .. rows[starts[g + 1] - 1].
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
  Table table;                           // the grouped table, sharing its source's storage
  std::vector<std::string> keys;         // the key column names, in the order given
  std::vector<std::uint32_t> rows;       // every group's row numbers, group after group
  std::vector<std::uint64_t> starts{0};  // group g is rows[starts[g], starts[g + 1])
  // The group of each position of table, in position order, or empty. When
  // present, aggregations make one sequential pass over the table with it
  // instead of visiting each group's rows across the whole column.
  GroupIds ids;

  [[nodiscard]] std::uint64_t size() const noexcept { return starts.size() - 1; }
  [[nodiscard]] std::span<const std::uint32_t> group(std::uint64_t g) const noexcept {
    return std::span<const std::uint32_t>(rows).subspan(starts[g], starts[g + 1] - starts[g]);
  }

  // The key columns, materialised: one row per group holding its first row's
  // key cells. (group.cpp)
  [[nodiscard]] Table key_table() const;

  // --- aggregation (aggregate.cpp) ---

  [[nodiscard]] Result<Table> agg(std::string_view name, Agg op) const;
  [[nodiscard]] Table count() const;
  // The key table with col appended under name.
  [[nodiscard]] Result<Table> with(std::string_view name, Col col) const;
};

// The least (Min) or greatest (any other op) present text among the given
// rows of cells, comparing bytes unsigned with a prefix first; the earliest
// wins a tie. Nothing when no row's cell is present. (aggregate.cpp)
[[nodiscard]] std::optional<std::string_view> pick(std::span<const std::uint32_t> rows, const StrCol& cells, Agg op);

}  // namespace kelo_frame
