// Arrow format strings: the ones this library exports, and readable names of
// any format for messages.
#pragma once

#include <string>
#include <string_view>

#include "c_abi.h"
#include "engine/col.hpp"

namespace kelo_frame::arrow {

// The format a column of dtype d is exported as: int64, float64, large_utf8.
[[nodiscard]] constexpr std::string_view own_format(Dtype d) noexcept {
  switch (d) {
    case Dtype::F64: return "g";
    case Dtype::I64: return "l";
    case Dtype::Str: return "U";
  }
  return "U";
}

// The common name of a format ("int64", "timestamp[us, tz=UTC]", ...), or the
// format string itself when it has none here.
[[nodiscard]] std::string type_name(std::string_view format);

// A schema node's type for messages: its name, with "dictionary<values=...,
// indices=...>" for a dictionary-encoded one.
[[nodiscard]] std::string type_text(const ArrowSchema& schema);

}  // namespace kelo_frame::arrow
