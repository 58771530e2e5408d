// Raising failures: engine messages become ValueError; the owner-thread fault
// becomes PanicException, a BaseException that `except Exception` lets pass.
#pragma once

#include <string_view>

#include "py.hpp"

namespace kelo_frame::api {

// Sets `type(message)` as the current exception; the message is UTF-8.
void raise(PyObject* type, std::string_view message);

// The internal-fault exception class, made once per process on first need.
// Null (with an exception set) if it cannot be made.
PyObject* panic_exception();

// A Python str from UTF-8 text (null with an exception set on failure).
Ref text_object(std::string_view text);

}  // namespace kelo_frame::api
