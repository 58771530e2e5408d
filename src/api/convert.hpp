// Converting arguments to engine values, and engine results to Python objects.
//
// Each argument converter is a type with a `type` (the engine value) and a
// static `convert(PyObject*, type&) -> bool` that sets a Python exception and
// returns false when the argument does not convert.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/groups.hpp"
#include "engine/table.hpp"
#include "py.hpp"

namespace kelo_frame::api {

// str -> its UTF-8 bytes, copied.
struct Text {
  using type = std::string;
  static bool convert(PyObject* obj, type& out);
};

// str -> a view of its UTF-8 bytes, borrowed from the str for the length of
// the call (for large texts such as read_csv's, where a copy would cost).
struct TextView {
  using type = std::string_view;
  static bool convert(PyObject* obj, type& out);
};

// int (or __index__) -> 64-bit signed integer.
struct Int {
  using type = std::int64_t;
  static bool convert(PyObject* obj, type& out);
};

// float, int or anything with __float__ / __index__ -> 64-bit float.
struct Real {
  using type = double;
  static bool convert(PyObject* obj, type& out);
};

// exactly bool, or numpy's bool type.
struct Bool {
  using type = bool;
  static bool convert(PyObject* obj, type& out);
};

// A sequence (not a str) whose every element converts with Item, collected
// into Out: a std::vector of Item's values, or straight into a column of
// present cells (so a list becomes a column in one pass).
template <class Item, class Out = std::vector<typename Item::type>>
struct Seq {
  using type = Out;
  static bool convert(PyObject* obj, type& out);
};

// The value of a method that returns None.
struct None {};

// Adds the note "while processing '<param>'" to the exception being raised.
void add_processing_note(std::string_view param);

// --- results ---

// Cells of one column in a table's row order, read straight from storage.
struct Cells {
  const Table* table;
  const Col* col;
};

PyObject* to_python(None none);
PyObject* to_python(Table&& table);
PyObject* to_python(Groups&& groups);
PyObject* to_python(const std::string& text);
PyObject* to_python(std::uint64_t count);
PyObject* to_python(const std::vector<std::string>& texts);
PyObject* to_python(const std::vector<std::string_view>& texts);
PyObject* to_python(const Cells& cells);

// Raises an engine failure: ValueError with the message as its one argument.
void raise_value_error(std::string_view message);

// A Result: the value, or ValueError(message).
template <class T>
PyObject* to_python(Result<T>&& result) {
  if (!result) {
    raise_value_error(result.error());
    return nullptr;
  }
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return to_python(std::move(*result));
  }
}

}  // namespace kelo_frame::api
