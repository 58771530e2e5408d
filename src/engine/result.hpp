// Errors as values: every engine operation that a caller can make fail returns
// Result<T>, holding either its value or one plain English message.
#pragma once

#include <expected>
#include <string>

namespace kelo_frame {

template <class T>
using Result = std::expected<T, std::string>;

// The failure value of any Result<T>: `return fail("...")`.
inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

}  // namespace kelo_frame
