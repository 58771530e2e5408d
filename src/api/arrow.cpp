// The Arrow PyCapsule interface of Frame: the schema and stream capsules that
// other libraries read, and Frame.from_arrow, which reads theirs.
//
// The exported structures hold their own column references (see
// arrow/export.hpp), so a capsule or an array taken from it may outlive the
// frame and be released on any thread; nothing here touches the frame after
// the call returns.
#include <memory>
#include <string>

#include "arrow/export.hpp"
#include "arrow/import.hpp"
#include "call.hpp"
#include "errors.hpp"
#include "interchange.hpp"

namespace kelo_frame::api {

namespace {

constexpr const char* schema_capsule_name = "arrow_schema";
constexpr const char* array_capsule_name = "arrow_array";
constexpr const char* stream_capsule_name = "arrow_array_stream";

// Capsule destructors: release the structure unless a consumer took it over
// (its release callback is null then), and free it.
template <class T>
void free_capsule(PyObject* capsule, const char* name) {
  auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) return;  // cannot happen: the capsule was made with this name
  if (value->release != nullptr) value->release(value);
  delete value;  // NOLINT(cppcoreguidelines-owning-memory)
}
void free_schema_capsule(PyObject* capsule) { free_capsule<ArrowSchema>(capsule, schema_capsule_name); }
void free_stream_capsule(PyObject* capsule) { free_capsule<ArrowArrayStream>(capsule, stream_capsule_name); }

// A capsule holding value; on failure the structure is released and freed.
template <class T>
PyObject* make_capsule(std::unique_ptr<T> value, const char* name, PyCapsule_Destructor destructor) {
  PyObject* capsule = PyCapsule_New(value.get(), name, destructor);
  if (capsule == nullptr) {
    if (value->release != nullptr) value->release(value.get());
    return nullptr;
  }
  static_cast<void>(value.release());  // the capsule owns it now
  return capsule;
}

// Runs body with a shared borrow of the frame, on any thread. Consumers call
// the capsule methods from their own threads (DuckDB scans from its worker
// threads), so unlike every other method these skip the owner check. That is
// sound: the borrow counter is atomic, so a call here and an add_* on the
// owner thread exclude each other; the body only reads the table, whose
// columns never change once in it, and copies column references, whose count
// is atomic (engine/rc.hpp).
template <class Body>
PyObject* with_table(PyObject* self, Body&& body) {
  return detail::guarded([&]() -> PyObject* {
    auto* frame = reinterpret_cast<FrameObject*>(self);
    BorrowGuard<Table> guard(frame, Borrow::Shared);
    if (!guard.ok()) return nullptr;
    return body(static_cast<const Table&>(frame->payload));
  });
}

// requested_schema: None, or a capsule "arrow_schema" (read, never released).
bool requested_schema(PyObject* obj, const ArrowSchema*& out) {
  out = nullptr;
  if (obj == nullptr || obj == Py_None) return true;
  if (PyCapsule_IsValid(obj, schema_capsule_name) == 0) {
    PyErr_SetString(PyExc_TypeError, "requested_schema must be None or a PyCapsule named 'arrow_schema'");
    add_processing_note("requested_schema");
    return false;
  }
  out = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(obj, schema_capsule_name));
  return out != nullptr;
}

// Releases a structure taken over from a producer's capsule.
template <class T>
class Taken {
 public:
  explicit Taken(T& value) noexcept : value_(value) {}
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  ~Taken() {
    if (value_.release != nullptr) value_.release(&value_);
  }

 private:
  T& value_;
};

// The pointer held by a capsule of the given name, or null with a TypeError.
template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const char* method) {
  if (PyCapsule_IsValid(capsule, name) == 0) {
    raise(PyExc_TypeError, std::string(method) + "() did not return a PyCapsule named '" + name + "'");
    return nullptr;
  }
  return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

PyObject* import_from_stream(PyObject* method) {
  Ref capsule = Ref::steal(PyObject_CallNoArgs(method));
  if (!capsule) return nullptr;
  auto* held = capsule_pointer<ArrowArrayStream>(capsule.get(), stream_capsule_name, "__arrow_c_stream__");
  if (held == nullptr) return nullptr;
  // Moved out of the capsule: its destructor then finds it released.
  ArrowArrayStream stream = *held;
  held->release = nullptr;
  const Taken<ArrowArrayStream> taken(stream);
  if (stream.release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream was already released");
    return nullptr;
  }
  return to_python(arrow::import_stream(stream));
}

PyObject* import_from_array(PyObject* method) {
  Ref pair = Ref::steal(PyObject_CallNoArgs(method));
  if (!pair) return nullptr;
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() did not return a pair of PyCapsules");
    return nullptr;
  }
  auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GetItem(pair.get(), 0), schema_capsule_name, "__arrow_c_array__");
  if (schema == nullptr) return nullptr;
  auto* held = capsule_pointer<ArrowArray>(PyTuple_GetItem(pair.get(), 1), array_capsule_name, "__arrow_c_array__");
  if (held == nullptr) return nullptr;
  ArrowArray array = *held;
  held->release = nullptr;
  const Taken<ArrowArray> taken(array);
  if (array.release == nullptr || schema->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow array was already released");
    return nullptr;
  }
  return to_python(arrow::import_batch(*schema, array));
}

}  // namespace

PyObject* arrow_c_schema(PyObject* self, PyObject* /*unused*/) {
  return with_table(self, [](const Table& table) -> PyObject* {
    auto plan = arrow::plan_export(table, nullptr, false);
    if (!plan) {
      raise_value_error(plan.error());
      return nullptr;
    }
    auto schema = std::make_unique<ArrowSchema>();
    arrow::export_schema(*plan, schema.get());
    return make_capsule(std::move(schema), schema_capsule_name, free_schema_capsule);
  });
}

PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // One optional parameter; bind() knows only required ones.
  static constexpr Signature sig{"Frame", "__arrow_c_stream__", {"requested_schema"}};
  PyObject* slots[2] = {};
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nargs + nkw > 1) {
    raise(PyExc_TypeError, sig.callee() + " takes at most 1 argument (" + std::to_string(nargs + nkw) + " given)");
    return nullptr;
  }
  if (nargs + nkw == 1 && !bind(sig, args, nargs, kwnames, slots)) return nullptr;
  return with_table(self, [&](const Table& table) -> PyObject* {
    const ArrowSchema* requested = nullptr;
    if (!requested_schema(slots[0], requested)) return nullptr;
    auto plan = arrow::plan_export(table, requested, true);
    if (!plan) {
      raise_value_error(plan.error());
      return nullptr;
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    arrow::export_stream(std::move(*plan), stream.get());
    return make_capsule(std::move(stream), stream_capsule_name, free_stream_capsule);
  });
}

PyObject* from_arrow(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature sig{"Frame", "from_arrow", {"data"}};
  return detail::guarded([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
    PyObject* data = slots[0];
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(data, "__arrow_c_stream__", &found) < 0) return nullptr;
    if (found != nullptr) return import_from_stream(Ref::steal(found).get());
    if (PyObject_GetOptionalAttrString(data, "__arrow_c_array__", &found) < 0) return nullptr;
    if (found != nullptr) return import_from_array(Ref::steal(found).get());
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(data)));
    const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
    if (name == nullptr) return nullptr;
    raise(PyExc_TypeError, sig.callee() + " takes an object with __arrow_c_stream__ or __arrow_c_array__, not '" +
                               std::string(name) + "'");
    return nullptr;
  });
}

}  // namespace kelo_frame::api
