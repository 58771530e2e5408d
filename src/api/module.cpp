// The kelo_frame module: a multi-phase definition whose exec step registers
// read_csv, Frame and Grouped, in that order, and lists them in __all__.
#include "call.hpp"
#include "csv/read.hpp"
#include "interchange.hpp"

namespace kelo_frame::api {

namespace {

PyObject* read_csv(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"", "read_csv", {"text"}};
  // The text is read in place from the str's UTF-8 form, and without the
  // interpreter lock for a text of 16 KB or more. The buffer stays valid and
  // unchanged all the while: the call holds a strong reference to the str
  // (call.hpp's Held), so no other thread can free it; a str is immutable;
  // and its UTF-8 form, once made, is cached in the object and freed only
  // with it (for an ASCII str it is the str's own character data).
  return call_function<TextView>(sig, args, nargs, kw,
                                 released([](std::string_view text) { return csv::read(text); },
                                          [](std::string_view text) { return text.size(); }));
}

PyMethodDef read_csv_def = KF_FASTCALL("read_csv", read_csv, "read_csv(text)\n--\n\n");

// Appends name to the module's __all__ (made on first use) and sets the
// attribute. False with an exception set on failure.
bool add_value(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  return key && add_value(module, key.get(), reinterpret_cast<PyObject*>(type));
}

// The type objects and the exception class are made once per process and kept
// for its life; they hold objects of the interpreter that made them, so only
// the main interpreter may load the module. Isolated interpreters are refused
// by the import machinery (the multiple-interpreters slot below); legacy ones
// that share the main interpreter's lock skip that check, so the exec step
// makes it itself. False with ImportError set in any other interpreter.
bool in_main_interpreter() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
  PyErr_SetString(PyExc_ImportError, "module kelo_frame does not support loading in subinterpreters");
  return false;
}

int exec_module(PyObject* module) {
  if (!in_main_interpreter()) return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref function = Ref::steal(PyCMethod_New(&read_csv_def, module, module_name.get(), nullptr));
  if (!function) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
    return -1;
  }
  if (!add_value(module, name.get(), function.get())) return -1;
  if (!add_type(module, "Frame", frame_type())) return -1;
  if (!add_type(module, "Grouped", grouped_type())) return -1;
  // Found by pickle under this name; not part of __all__.
  Ref unpickle = Ref::steal(PyCMethod_New(&frame_from_pickle_def, module, module_name.get(), nullptr));
  if (!unpickle || PyObject_SetAttrString(module, "__unpickle_frame__", unpickle.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kelo_frame", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kelo_frame::api

PyMODINIT_FUNC PyInit_kelo_frame() { return PyModuleDef_Init(&kelo_frame::api::module_def); }
