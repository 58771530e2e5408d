// The call protocol that every method follows: bind the arguments, check the
// owner thread, borrow the instance, convert the arguments in order, run one
// engine operation, convert its result (or raise its failure), release the
// borrow. A method is declared by its signature, its converters and the
// engine call; nothing else differs between methods.
//
// An engine call wrapped in released() runs without the interpreter lock
// when its work is large enough (unlocked.hpp): every argument is an engine
// value by then, and its result becomes a Python object only after the lock
// is taken back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bind.hpp"
#include "convert.hpp"
#include "objects.hpp"
#include "unlocked.hpp"

namespace kelo_frame::api {

// An engine call that may run without the interpreter lock; `work` estimates
// its size (rows, or bytes of text) from the same arguments.
template <class Op, class Work>
struct Released {
  Op op;
  Work work;
};

template <class Op, class Work>
Released<Op, Work> released(Op op, Work work) {
  return {std::move(op), std::move(work)};
}

// A step whose work grows with the payload's rows.
template <class Op>
auto released(Op op) {
  return released(std::move(op), [](const auto& payload, const auto&... /*args*/) { return rows_of(payload); });
}

namespace detail {

template <class Op>
inline constexpr bool is_released = false;
template <class Op, class Work>
inline constexpr bool is_released<Released<Op, Work>> = true;

// Strong references to the objects a released step reads (the instance, or
// a function's arguments, such as the str whose UTF-8 buffer read_csv scans),
// held for the whole call. The caller's references already keep them alive,
// but these do not depend on how the caller holds its own while other threads
// run.
template <class Op, std::size_t N>
struct Held {
  std::array<Ref, N> refs;
  explicit Held(PyObject* const* objs) noexcept {
    if constexpr (is_released<std::remove_cvref_t<Op>>) {
      for (std::size_t i = 0; i < N; ++i) refs[i] = Ref::borrow(objs[i]);
    }
  }
};

// Runs the engine step: a released one without the lock once its work
// reaches the threshold, any other with the lock.
template <class Op, class... Args>
auto run_step(Op& op, Args&... args) {
  if constexpr (is_released<std::remove_cvref_t<Op>>) {
    return run_unlocked_if(op.work(args...), [&] { return op.op(args...); });
  } else {
    return op(args...);
  }
}

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
    const detail::Held<Op, 1> held(&obj);
    std::tuple<typename Convs::type...> values;
    if (!detail::convert_all<Convs...>(sig, slots, values, std::index_sequence_for<Convs...>{})) return nullptr;
    if constexpr (B == Borrow::Exclusive) {
      return to_python(std::apply([&](auto&... v) { return detail::run_step(op, self->payload, v...); }, values));
    } else {
      const Payload& payload = self->payload;
      return to_python(std::apply([&](auto&... v) { return detail::run_step(op, payload, v...); }, values));
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
    const detail::Held<Op, 1> held(&obj);
    const Payload& payload = self->payload;
    return to_python(detail::run_step(op, payload));
  });
}

// A module-level function: no receiver, so no owner check and no borrow.
template <class... Convs, class Op>
PyObject* call_function(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op&& op) {
  return detail::guarded([&]() -> PyObject* {
    PyObject* slots[sizeof...(Convs) + 1] = {};
    if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
    const detail::Held<Op, sizeof...(Convs)> held(slots);
    std::tuple<typename Convs::type...> values;
    if (!detail::convert_all<Convs...>(sig, slots, values, std::index_sequence_for<Convs...>{})) return nullptr;
    return to_python(std::apply([&](auto&... v) { return detail::run_step(op, v...); }, values));
  });
}

// A PyMethodDef entry for a function of one of the two conventions.
#define KF_FASTCALL(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}
#define KF_NOARGS(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_NOARGS, doc}

}  // namespace kelo_frame::api
