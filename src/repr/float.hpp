// The text of a 64-bit float: the shortest digits that read back to the same
// value, always showing a point or an exponent when finite.
#pragma once

#include <cstddef>
#include <string>

namespace kelo_frame::repr {

// "nan", "inf", "-inf", or the shortest round-trip text in the layout of
// Python's repr(). Named with a trailing underscore because `float` is a
// keyword.
[[nodiscard]] std::string float_(double value);

// The longest text float_ gives, "-1.2345678901234567e-308" and the like.
inline constexpr std::size_t float_max_chars = 24;

// Writes the text of float_(value) at out, which must have room for
// float_max_chars bytes, and returns the end of what it wrote. No allocation.
char* float_to(char* out, double value) noexcept;

// The room float_to_padded needs: it places digits with whole-word stores
// that may run past the end of the text.
inline constexpr std::size_t float_write_room = 48;

// As float_to, for a buffer with room for float_write_room bytes: bytes past
// the returned end may have been written and hold nothing of meaning. The
// CSV writer formats straight into its output area with this one.
char* float_to_padded(char* out, double value) noexcept;

}  // namespace kelo_frame::repr
