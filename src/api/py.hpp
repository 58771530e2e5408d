// The Python side of the api layer: the limited C API of CPython 3.14 and an
// owning reference type, so no Python reference is ever released by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kelo_frame::api {

// An owned (strong) Python reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null after a failed call).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (for returning to CPython).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace kelo_frame::api
