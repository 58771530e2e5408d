#include "column_buffer.hpp"

#include <new>

namespace kelo_frame::api {

namespace {

struct BufferObject {
  PyObject_HEAD Rc<Col> col;
  const void* data;
  Py_ssize_t size;
};

// Stands in for the data of an empty array, which may hold no allocation.
constexpr char no_bytes[1] = {0};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* buffer = reinterpret_cast<BufferObject*>(self);
  // Read-only: a request for a writable buffer fails with BufferError.
  return PyBuffer_FillInfo(view, self, const_cast<void*>(buffer->data), buffer->size, 1, flags);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // The column's count is atomic: the last reference may go on any thread.
  reinterpret_cast<BufferObject*>(self)->col.~Rc();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyTypeObject* buffer_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Read-only bytes of a column's storage.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"kelo_frame.ColumnBuffer", sizeof(BufferObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));  // kept for the life of the process
  }
  return type;
}

}  // namespace

PyObject* column_buffer(const Rc<Col>& col, std::span<const std::uint8_t> bytes) {
  PyTypeObject* type = buffer_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* buffer = reinterpret_cast<BufferObject*>(obj);
  new (&buffer->col) Rc<Col>(col);
  buffer->data = bytes.empty() ? static_cast<const void*>(no_bytes) : static_cast<const void*>(bytes.data());
  buffer->size = static_cast<Py_ssize_t>(bytes.size());
  return obj;
}

}  // namespace kelo_frame::api
