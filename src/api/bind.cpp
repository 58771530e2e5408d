#include "bind.hpp"

#include "errors.hpp"

namespace kelo_frame::api {

std::string Signature::callee() const {
  std::string out;
  if (!cls.empty()) {
    out += cls;
    out += '.';
  }
  out += name;
  out += "()";
  return out;
}

namespace {

bool too_many(const Signature& sig, Py_ssize_t nargs) {
  raise(PyExc_TypeError, sig.callee() + " takes " + std::to_string(sig.count) + " positional arguments but " +
                             std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
  return false;
}

// Puts one keyword argument into its slot.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  std::size_t found = sig.count;
  if (utf8 == nullptr) {
    PyErr_Clear();  // a name that cannot be read as UTF-8 matches no parameter
  } else {
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.count; ++i) {
      if (sig.params[i] == name) {
        found = i;
        break;
      }
    }
  }
  if (found == sig.count) {
    // The name goes into the message as a str object, not through UTF-8: a
    // name with a lone surrogate has no UTF-8 form but is still shown.
    Ref text = Ref::steal(PyObject_Str(key));
    if (!text) return false;
    Ref message = Ref::steal(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", sig.callee().c_str(), text.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
  }
  if (slots[found] != nullptr) {
    raise(PyExc_TypeError, sig.callee() + " got multiple values for argument '" + std::string(sig.params[found]) + "'");
    return false;
  }
  slots[found] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.count; ++i) missing += slots[i] == nullptr ? 1 : 0;
  if (missing == 0) return true;
  std::string list;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (slots[i] != nullptr) continue;
    ++seen;
    if (seen > 1) {
      if (missing > 2) list += ",";
      list += seen == missing ? " and " : " ";
    }
    list += "'" + std::string(sig.params[i]) + "'";
  }
  raise(PyExc_TypeError, sig.callee() + " missing " + std::to_string(missing) + " required positional " +
                             (missing == 1 ? "argument" : "arguments") + ": " + list);
  return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
  for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

}  // namespace kelo_frame::api
