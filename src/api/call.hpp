// The call protocol that every method follows: bind the arguments, check the
// owner thread, borrow the instance, convert the arguments in order, run one
// engine operation, convert its result (or raise its failure), release the
// borrow. A method is declared by its signature, its converters and the
// engine call; nothing else differs between methods.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "bind.hpp"
#include "convert.hpp"
#include "objects.hpp"

namespace kelo_frame::api {

namespace detail {

// Runs a method body. The engine and the conversions allocate with the C++
// allocator, which throws when memory runs out (or when a size is beyond any
// allocation, as a sequence's false length can make it); such a failure
// becomes MemoryError instead of unwinding into CPython, which would end the
// process. The body's guards (borrows, references) are released on the way.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

template <class... Convs, std::size_t... I>
bool convert_all(const Signature& sig, PyObject* const* slots, std::tuple<typename Convs::type...>& values,
                 std::index_sequence<I...> /*unused*/) {
  // Left to right; the first failure stops the rest and gains its note.
  std::size_t failed = sizeof...(Convs);
  const bool ok = ((Convs::convert(slots[I], std::get<I>(values)) || ((failed = I), false)) && ...);
  if (!ok) add_processing_note(sig.params[failed]);
  return ok;
}

}  // namespace detail

// The body of a METH_FASTCALL | METH_KEYWORDS method of Frame or Grouped.
// `op` is called with the payload (const, or mutable for an exclusive borrow)
// and the converted arguments, and returns an engine value or Result.
template <class Payload, Borrow B, class... Convs, class Op>
PyObject* call(const Signature& sig, PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Op&& op) {
  return detail::guarded([&]() -> PyObject* {
    PyObject* slots[sizeof...(Convs) + 1] = {};
    if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
    auto* self = reinterpret_cast<Instance<Payload>*>(obj);
    if (!check_owner(self)) return nullptr;
    BorrowGuard<Payload> guard(self, B);
    if (!guard.ok()) return nullptr;
    std::tuple<typename Convs::type...> values;
    if (!detail::convert_all<Convs...>(sig, slots, values, std::index_sequence_for<Convs...>{})) return nullptr;
    if constexpr (B == Borrow::Exclusive) {
      return to_python(std::apply([&](auto&... v) { return op(self->payload, v...); }, values));
    } else {
      const Payload& payload = self->payload;
      return to_python(std::apply([&](auto&... v) { return op(payload, v...); }, values));
    }
  });
}

// The body of a METH_NOARGS method (and of tp_str / tp_repr): CPython has
// already refused any argument.
template <class Payload, class Op>
PyObject* call_noargs(PyObject* obj, Op&& op) {
  return detail::guarded([&]() -> PyObject* {
    auto* self = reinterpret_cast<Instance<Payload>*>(obj);
    if (!check_owner(self)) return nullptr;
    BorrowGuard<Payload> guard(self, Borrow::Shared);
    if (!guard.ok()) return nullptr;
    const Payload& payload = self->payload;
    return to_python(op(payload));
  });
}

// A module-level function: no receiver, so no owner check and no borrow.
template <class... Convs, class Op>
PyObject* call_function(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op&& op) {
  return detail::guarded([&]() -> PyObject* {
    PyObject* slots[sizeof...(Convs) + 1] = {};
    if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
    std::tuple<typename Convs::type...> values;
    if (!detail::convert_all<Convs...>(sig, slots, values, std::index_sequence_for<Convs...>{})) return nullptr;
    return to_python(std::apply([&](auto&... v) { return op(v...); }, values));
  });
}

// A PyMethodDef entry for a function of one of the two conventions.
#define KF_FASTCALL(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}
#define KF_NOARGS(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_NOARGS, doc}

}  // namespace kelo_frame::api
