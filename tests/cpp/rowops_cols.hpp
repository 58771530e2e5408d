// Column builders for the engine tests: std::nullopt is a missing cell.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/table.hpp"

namespace kelo_frame::rowops_test {

inline I64Col i64s(const std::vector<std::optional<std::int64_t>>& cells) {
  I64Col c;
  for (const auto& cell : cells) cell ? c.push(*cell) : c.push_missing();
  return c;
}

inline F64Col f64s(const std::vector<std::optional<double>>& cells) {
  F64Col c;
  for (const auto& cell : cells) cell ? c.push(*cell) : c.push_missing();
  return c;
}

inline StrCol strs(const std::vector<std::optional<std::string>>& cells) {
  StrCol c;
  for (const auto& cell : cells) cell ? c.push(*cell) : c.push_missing();
  return c;
}

// Doubles whose order is easy to get wrong: NaN of both signs, both zeros,
// both infinities, ±1, the smallest subnormals and the largest finite values.
inline std::vector<double> special_doubles() {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  return {nan,    -nan,   0.0,     -0.0,     inf, -inf, 1.0, -1.0, 5e-324, -5e-324, std::numeric_limits<double>::max(),
          std::numeric_limits<double>::lowest()};
}

// A table with one column named "x".
inline Table table_of(Col col) {
  Table t;
  (void)t.add("x", std::move(col));
  return t;
}

}  // namespace kelo_frame::rowops_test
