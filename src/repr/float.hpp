// The text of a 64-bit float: the shortest digits that read back to the same
// value, always showing a point or an exponent when finite.
#pragma once

#include <string>

namespace kelo_frame::repr {

// "nan", "inf", "-inf", or the shortest round-trip text in the layout of
// Python's repr(). Named with a trailing underscore because `float` is a
// keyword.
[[nodiscard]] std::string float_(double value);

}  // namespace kelo_frame::repr
