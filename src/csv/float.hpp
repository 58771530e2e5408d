// The one definition of a cell text that is a float.
#pragma once

#include <optional>
#include <string_view>

namespace kelo_frame::csv {

// The float that a cell's bytes denote, correctly rounded (nearest, ties to
// even), or nothing when the text is not a float text. Named with a trailing
// underscore because `float` is a keyword.
[[nodiscard]] std::optional<double> float_(std::string_view cell) noexcept;

}  // namespace kelo_frame::csv
