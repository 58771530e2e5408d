// Pickling: a Frame reduces to its columns' raw buffers (never text or lists),
// and the module function __unpickle_frame__ rebuilds it, checking every
// length, offset and text so that a corrupt or hostile payload is a
// ValueError. A Grouped refuses to be pickled. With protocol 5 the buffers are
// the columns' own memory in PickleBuffer objects: written in band without a
// copy of their own, or carried out of band by a buffer_callback.
//
// Pickling and unpickling often happen on helper threads (a multiprocessing
// pool pickles its tasks on one thread and unpickles results on another), so
// __reduce_ex__ runs on any thread, as the Arrow capsule methods do (a shared
// borrow; it only reads), and the rebuilt frame, which shares nothing, is
// unclaimed: the first thread that uses it owns it.
#include <deque>
#include <string>
#include <vector>

#include "arrow/raw_table.hpp"
#include "call.hpp"
#include "column_buffer.hpp"
#include "errors.hpp"
#include "interchange.hpp"

namespace kelo_frame::api {

namespace {

// The layout version written first in every pickle.
constexpr std::int64_t pickle_version = 1;

char dtype_letter(Dtype d) {
  switch (d) {
    case Dtype::F64: return 'f';
    case Dtype::I64: return 'i';
    case Dtype::Str: return 's';
  }
  return 's';
}

Ref bytes_of(std::span<const std::uint8_t> data) {
  return Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

// One storage array as pickle should carry it: a copy in a bytes object, or
// (given pickle's PickleBuffer class) the column's own memory in a
// PickleBuffer, which protocol 5 writes in band without an extra copy or
// hands to a buffer_callback to carry out of band.
Ref buffer_of(const Rc<Col>& col, std::span<const std::uint8_t> data, PyObject* pickle_buffer) {
  if (pickle_buffer == nullptr) return bytes_of(data);
  Ref shown = Ref::steal(column_buffer(col, data));
  if (!shown) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(pickle_buffer, shown.get(), nullptr));
}

// (name, dtype letter, main buffer, text bytes, validity words) per column.
Ref column_tuple(const arrow::RawColumn& raw, const Rc<Col>& col, PyObject* pickle_buffer) {
  Ref name = text_object(raw.name);
  const char letter = dtype_letter(raw.dtype);
  Ref dtype = Ref::steal(PyUnicode_FromStringAndSize(&letter, 1));
  Ref main = buffer_of(col, raw.main, pickle_buffer);
  Ref bytes = buffer_of(col, raw.bytes, pickle_buffer);
  Ref validity = buffer_of(col, raw.validity, pickle_buffer);
  if (!name || !dtype || !main || !bytes || !validity) return {};
  return Ref::steal(PyTuple_Pack(5, name.get(), dtype.get(), main.get(), bytes.get(), validity.get()));
}

Ref reduce_table(const Table& table, std::int64_t protocol) {
  Ref module = Ref::steal(PyImport_ImportModule("kelo_frame"));
  if (!module) return {};
  Ref rebuild = Ref::steal(PyObject_GetAttrString(module.get(), "__unpickle_frame__"));
  if (!rebuild) return {};
  Ref pickle_buffer;
  if (protocol >= 5) {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return {};
    pickle_buffer = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleBuffer"));
    if (!pickle_buffer) return {};
  }
  const Table stored = arrow::stored(table);
  const auto raws = arrow::raw_columns(stored);
  Ref columns = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(raws.size())));
  if (!columns) return {};
  for (std::size_t i = 0; i < raws.size(); ++i) {
    Ref column = column_tuple(raws[i], stored.columns[i].col, pickle_buffer.get());
    if (!column || PyTuple_SetItem(columns.get(), static_cast<Py_ssize_t>(i), column.release()) < 0) return {};
  }
  Ref version = Ref::steal(PyLong_FromLongLong(pickle_version));
  Ref height = Ref::steal(PyLong_FromUnsignedLongLong(stored.height));
  if (!version || !height) return {};
  Ref args = Ref::steal(PyTuple_Pack(3, version.get(), height.get(), columns.get()));
  if (!args) return {};
  return Ref::steal(PyTuple_Pack(2, rebuild.get(), args.get()));
}

// An unpickled table, made into an unclaimed frame.
struct Unclaimed {
  Table table;
};
PyObject* to_python(Unclaimed&& value) { return new_unclaimed_frame(std::move(value.table)); }

// A bytes-like object's buffer, held for the length of the call.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool hold(PyObject* obj) {
    held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

struct Pickled {
  std::vector<arrow::RawColumn> columns;
  std::deque<HeldBuffer> buffers;  // stable addresses: the columns' spans point into them
};

bool refuse(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// The columns argument of __unpickle_frame__: a tuple of column tuples.
struct PickledColumns {
  using type = Pickled;
  static bool convert(PyObject* obj, type& out) {
    if (!PyTuple_Check(obj)) return refuse("the pickled frame is corrupt: its columns are not a tuple");
    const Py_ssize_t n = PyTuple_Size(obj);
    out.columns.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GetItem(obj, i);
      if (!PyTuple_Check(item) || PyTuple_Size(item) != 5) {
        return refuse("the pickled frame is corrupt: a column is not a tuple of five items");
      }
      arrow::RawColumn raw;
      if (!Text::convert(PyTuple_GetItem(item, 0), raw.name)) return false;
      std::string letter;
      if (!Text::convert(PyTuple_GetItem(item, 1), letter)) return false;
      if (letter == "f") {
        raw.dtype = Dtype::F64;
      } else if (letter == "i") {
        raw.dtype = Dtype::I64;
      } else if (letter == "s") {
        raw.dtype = Dtype::Str;
      } else {
        return refuse("the pickled frame is corrupt: a column's dtype is not 'f', 'i' or 's'");
      }
      std::span<const std::uint8_t>* spans[3] = {&raw.main, &raw.bytes, &raw.validity};
      for (int k = 0; k < 3; ++k) {
        HeldBuffer& held = out.buffers.emplace_back();
        if (!held.hold(PyTuple_GetItem(item, 2 + k))) return false;
        *spans[k] = held.bytes();
      }
      out.columns.push_back(std::move(raw));
    }
    return true;
  }
};

PyObject* unpickle_frame(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"", "__unpickle_frame__", {"version", "height", "columns"}};
  return call_function<Int, Int, PickledColumns>(
      sig, args, nargs, kw, [](std::int64_t version, std::int64_t height, const Pickled& pickled) -> Result<Unclaimed> {
        if (version != pickle_version) {
          return fail("the pickled frame has layout version " + std::to_string(version) + "; this kelo_frame reads " +
                      std::to_string(pickle_version));
        }
        if (height < 0) return fail("the pickled frame claims a negative height");
        auto table = arrow::table_from_raw(static_cast<std::uint64_t>(height), pickled.columns);
        if (!table) return fail(std::move(table.error()));
        return Unclaimed{std::move(*table)};
      });
}

}  // namespace

PyMethodDef frame_from_pickle_def =
    KF_FASTCALL("__unpickle_frame__", unpickle_frame, "__unpickle_frame__(version, height, columns)\n--\n\n");

PyObject* frame_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature sig{"Frame", "__reduce_ex__", {"protocol"}};
  // Protocols up to 4 get bytes copies of the buffers; 5 gets PickleBuffers.
  return detail::guarded([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
    std::int64_t protocol = 0;
    if (!Int::convert(slots[0], protocol)) {
      add_processing_note(sig.params[0]);
      return nullptr;
    }
    auto* frame = reinterpret_cast<FrameObject*>(self);
    BorrowGuard<Table> guard(frame, Borrow::Shared);
    if (!guard.ok()) return nullptr;
    return reduce_table(frame->payload, protocol).release();
  });
}

PyObject* grouped_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature sig{"Grouped", "__reduce_ex__", {"protocol"}};
  PyObject* slots[2] = {};
  if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
  (void)self;
  PyErr_SetString(PyExc_TypeError,
                  "a Grouped cannot be pickled: pickle the Frame it was grouped from and group it again");
  return nullptr;
}

}  // namespace kelo_frame::api
