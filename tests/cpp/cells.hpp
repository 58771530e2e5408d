// Column builders for the engine tests: std::nullopt is a missing cell.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "engine/col.hpp"

namespace kelo_frame::test_cells {

inline I64Col ints(std::initializer_list<std::optional<std::int64_t>> cells) {
  I64Col c;
  for (const auto& v : cells) v ? c.push(*v) : c.push_missing();
  return c;
}

inline F64Col floats(std::initializer_list<std::optional<double>> cells) {
  F64Col c;
  for (const auto& v : cells) v ? c.push(*v) : c.push_missing();
  return c;
}

inline StrCol texts(std::initializer_list<std::optional<std::string_view>> cells) {
  StrCol c;
  for (const auto& v : cells) v ? c.push(*v) : c.push_missing();
  return c;
}

}  // namespace kelo_frame::test_cells
