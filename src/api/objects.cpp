#include "objects.hpp"

#include <new>
#include <string>
#include <utility>

#include "errors.hpp"
#include "unlocked.hpp"

namespace kelo_frame::api {

std::uint64_t thread_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

template <class Payload>
bool check_owner(const Instance<Payload>* self) {
  const std::uint64_t here = thread_id();
  std::uint64_t owner = self->owner.load(std::memory_order_acquire);
  if (here == owner) return true;
  // An unclaimed instance becomes the calling thread's (the first claim wins).
  auto& claim = const_cast<std::atomic<std::uint64_t>&>(self->owner);
  if (owner == unclaimed && claim.compare_exchange_strong(owner, here, std::memory_order_acq_rel)) return true;
  PyObject* panic = panic_exception();
  if (panic == nullptr) return false;
  const std::string message = "assertion `left == right` failed: " + std::string(rust_style_name<Payload>()) +
                              " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(here) +
                              ")\n right: ThreadId(" + std::to_string(owner) + ")";
  raise(panic, message);
  return false;
}
template bool check_owner(const Instance<Table>*);
template bool check_owner(const Instance<Groups>*);

template <class Payload>
BorrowGuard<Payload>::BorrowGuard(Instance<Payload>* self, Borrow kind) noexcept : self_(self), kind_(kind) {
  if (kind == Borrow::Exclusive) {
    std::int64_t expected = 0;
    ok_ = self->borrow.compare_exchange_strong(expected, -1);
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return;
  }
  std::int64_t current = self->borrow.load();
  while (current != -1) {
    if (self->borrow.compare_exchange_weak(current, current + 1)) {
      ok_ = true;
      return;
    }
  }
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

template <class Payload>
BorrowGuard<Payload>::~BorrowGuard() {
  if (!ok_) return;
  if (kind_ == Borrow::Exclusive) {
    self_->borrow.store(0);
  } else {
    self_->borrow.fetch_sub(1);
  }
}
template class BorrowGuard<Table>;
template class BorrowGuard<Groups>;

namespace {

// Allocates through object.__new__ (which calls the type's tp_alloc and takes
// a reference to the heap type), then constructs the C++ fields in place.
template <class Payload>
PyObject* make_instance(PyTypeObject* type, Payload payload) {
  if (type == nullptr) return nullptr;
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return nullptr;
  PyObject* obj = base_new(type, args.get(), nullptr);
  if (obj == nullptr) return nullptr;  // the payload is dropped on return
  auto* self = reinterpret_cast<Instance<Payload>*>(obj);
  new (&self->payload) Payload(std::move(payload));
  new (&self->borrow) std::atomic<std::int64_t>(0);
  new (&self->owner) std::atomic<std::uint64_t>(thread_id());
  return obj;
}

template <class Payload>
void dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<Instance<Payload>*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  const std::uint64_t owner = self->owner.load(std::memory_order_acquire);
  if (owner == thread_id() || owner == unclaimed) {
    // Freeing a large payload gives its pages back to the system, which takes
    // a while; no other thread can reach it (its count is zero).
    run_unlocked_if(rows_of(self->payload), [self] { self->payload.~Payload(); });
    self->borrow.~atomic();
    self->owner.~atomic();
  } else {
    // The payload is left alive (leaked) rather than freed here, and the drop
    // is reported: an owned object is not to leave its thread. (Column counts
    // are atomic, so this is a rule of the interface, not of memory safety.)
    PyObject* pending = PyErr_GetRaisedException();
    const std::string message =
        std::string(rust_style_name<Payload>()) + " is unsendable, but is being dropped on another thread";
    raise(PyExc_RuntimeError, message);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

}  // namespace

// Defined in frame.cpp and grouped.cpp.
extern PyMethodDef frame_methods[];
extern PyMethodDef grouped_methods[];
PyObject* frame_describe_slot(PyObject* self);
PyObject* grouped_describe_slot(PyObject* self);
PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

namespace {

PyTypeObject* make_type(PyType_Spec* spec) { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec)); }

}  // namespace

PyTypeObject* frame_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Frame()\n--\n\nA table: named columns of one length.")},
        {Py_tp_new, reinterpret_cast<void*>(frame_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Table>)},
        {Py_tp_repr, reinterpret_cast<void*>(frame_describe_slot)},
        {Py_tp_str, reinterpret_cast<void*>(frame_describe_slot)},
        {Py_tp_methods, frame_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {"builtins.Frame", sizeof(FrameObject), 0, Py_TPFLAGS_DEFAULT, slots};
    PyTypeObject* made = make_type(&spec);
    if (made == nullptr) return nullptr;
    if (type == nullptr) {
      type = made;  // kept for the life of the process
    } else {
      Py_DECREF(made);
    }
  }
  return type;
}

PyTypeObject* grouped_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A frame split by the values of some columns; each aggregation is a `Frame` "
                                      "with the key\ncolumns first, one row per group.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Groups>)},
        {Py_tp_repr, reinterpret_cast<void*>(grouped_describe_slot)},
        {Py_tp_str, reinterpret_cast<void*>(grouped_describe_slot)},
        {Py_tp_methods, grouped_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {"builtins.Grouped", sizeof(GroupedObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyTypeObject* made = make_type(&spec);
    if (made == nullptr) return nullptr;
    if (type == nullptr) {
      type = made;
    } else {
      Py_DECREF(made);
    }
  }
  return type;
}

PyObject* new_frame(Table table) { return make_instance(frame_type(), std::move(table)); }
PyObject* new_unclaimed_frame(Table table) {
  PyObject* obj = new_frame(std::move(table));
  if (obj != nullptr) reinterpret_cast<FrameObject*>(obj)->owner.store(unclaimed, std::memory_order_release);
  return obj;
}
PyObject* new_grouped(Groups groups) { return make_instance(grouped_type(), std::move(groups)); }

}  // namespace kelo_frame::api
