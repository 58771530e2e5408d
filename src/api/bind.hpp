// Binding a call's positional and keyword arguments to a callee's parameters.
//
// Every parameter of every callee may be passed by position or by keyword, and
// every parameter is required. Binding allocates nothing on success: the slots
// are a fixed array, and keyword names are matched by their UTF-8 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "py.hpp"

namespace kelo_frame::api {

// A callee's name and parameters, as its messages show them.
struct Signature {
  std::string_view cls;  // "Frame", "Grouped", or empty for a module function
  std::string_view name;
  std::array<std::string_view, 3> params{};
  std::size_t count = 0;

  constexpr Signature(std::string_view c, std::string_view n, std::initializer_list<std::string_view> ps)
      : cls(c), name(n) {
    for (std::string_view p : ps) params[count++] = p;
  }

  // "Frame.head()" or "read_csv()".
  [[nodiscard]] std::string callee() const;
};

// Fills slots[0 .. sig.count) with borrowed references from a vectorcall-style
// call; false with a TypeError set when the arguments do not fit.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// The same for a tp_new-style call (a tuple and a dict, keywords in dict order).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace kelo_frame::api
