// Span: where one field lies in the CSV text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelo_frame::csv {

struct Span {
  std::uint32_t start = 0;  // first content byte (after the opening quote)
  std::uint32_t end = 0;    // just past the last content byte (the closing quote)
  bool quoted = false;      // written between double quotes
  bool escaped = false;     // a quoted field holding at least one doubled quote

  // An empty unquoted field: the cell is missing.
  [[nodiscard]] bool missing() const noexcept { return start == end && !quoted; }

  // The field's bytes, with each doubled quote made one when escaped.
  [[nodiscard]] static std::string text(const Span& span, std::string_view text);
};

}  // namespace kelo_frame::csv
