// Frame.to_csv's result: the CSV text formatted straight into the str that is
// returned, so that the text is written once and never copied.
#pragma once

#include "engine/table.hpp"
#include "py.hpp"

namespace kelo_frame::api {

// A new reference made by the api layer itself (null with an exception set);
// to_python hands it on as it is.
struct NewObject {
  PyObject* obj = nullptr;
};

inline PyObject* to_python(NewObject made) noexcept { return made.obj; }

// The table as CSV text in a new str.
NewObject csv_text(const Table& table);

}  // namespace kelo_frame::api
