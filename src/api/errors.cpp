#include "errors.hpp"

namespace kelo_frame::api {

Ref text_object(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void raise(PyObject* type, std::string_view message) {
  Ref value = text_object(message);
  if (!value) return;  // the decoding failure stays set
  PyErr_SetObject(type, value.get());
}

PyObject* panic_exception() {
  // Made under the interpreter lock; if two threads race, the loser's class is
  // dropped and both use the first one stored.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc(
        "kelo_frame.PanicException",
        "An internal fault of kelo_frame, such as using an object on a thread that did not make it.",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    if (cls == nullptr) {
      cls = made;  // kept for the life of the process
    } else {
      Py_DECREF(made);
    }
  }
  return cls;
}

}  // namespace kelo_frame::api
