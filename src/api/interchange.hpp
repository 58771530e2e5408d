// The Frame and Grouped methods of the Arrow PyCapsule interface (arrow.cpp)
// and of pickling (pickle.cpp), listed in the classes' method tables.
#pragma once

#include "py.hpp"

namespace kelo_frame::api {

// Frame.__arrow_c_schema__(): a PyCapsule "arrow_schema" with the schema.
PyObject* arrow_c_schema(PyObject* self, PyObject* unused);
// Frame.__arrow_c_stream__(requested_schema=None): a PyCapsule
// "arrow_array_stream" yielding the frame as one record batch.
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Frame.from_arrow(data), a class method: a new frame of the cells of any
// object with __arrow_c_stream__ or __arrow_c_array__.
PyObject* from_arrow(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Frame.__reduce_ex__(protocol): the frame's columns as raw buffers.
PyObject* frame_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Grouped.__reduce_ex__(protocol): refuses with TypeError.
PyObject* grouped_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The module function that rebuilds a pickled frame (registered by module.cpp).
extern PyMethodDef frame_from_pickle_def;

}  // namespace kelo_frame::api
