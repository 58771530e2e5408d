#include "convert.hpp"

#include <algorithm>
#include <type_traits>

#include "engine/prefetch.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "text_cache.hpp"

namespace kelo_frame::api {

namespace {

// "'int' object is not an instance of 'str'", or for None
// "'None' is not an instance of 'str'".
bool not_instance(PyObject* obj, std::string_view expected) {
  if (obj == Py_None) {
    raise(PyExc_TypeError, "'None' is not an instance of '" + std::string(expected) + "'");
    return false;
  }
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return false;
  Py_ssize_t len = 0;
  const char* name = PyUnicode_AsUTF8AndSize(qualname.get(), &len);
  if (name == nullptr) return false;
  raise(PyExc_TypeError, "'" + std::string(name, static_cast<std::size_t>(len)) + "' object is not an instance of '" +
                             std::string(expected) + "'");
  return false;
}

// collections.abc.Sequence's qualified name, for the message that refuses a
// non-sequence (imported once per process on first need and kept).
const std::string* sequence_name() {
  static std::string* name = nullptr;
  if (name == nullptr) {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    Ref seq = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!seq) return nullptr;
    Ref qualname = Ref::steal(PyObject_GetAttrString(seq.get(), "__qualname__"));
    if (!qualname) return nullptr;
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(qualname.get(), &len);
    if (s == nullptr) return nullptr;
    if (name == nullptr) {
      static std::string kept;
      kept.assign(s, static_cast<std::size_t>(len));
      name = &kept;
    }
  }
  return name;
}

// The text of a str type's name attribute (PyType_GetModuleName or
// PyType_GetName result); empty when it is not readable.
std::string type_text(Ref obj) {
  if (!obj) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_Check(obj.get()) ? PyUnicode_AsUTF8AndSize(obj.get(), &len) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {s, static_cast<std::size_t>(len)};
}

}  // namespace

void raise_value_error(std::string_view message) { raise(PyExc_ValueError, message); }

void add_processing_note(std::string_view param) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref note = text_object("while processing '" + std::string(param) + "'");
  Ref method = Ref::steal(PyUnicode_InternFromString("add_note"));
  if (note && method) {
    Ref done = Ref::steal(PyObject_CallMethodObjArgs(exc, method.get(), note.get(), nullptr));
    if (!done) PyErr_Clear();  // the note is lost, the conversion's failure stands
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

bool TextView::convert(PyObject* obj, type& out) {
  if (!PyUnicode_Check(obj)) return not_instance(obj, "str");
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) return false;  // e.g. a lone surrogate: CPython's UnicodeEncodeError
  out = std::string_view(s, static_cast<std::size_t>(len));
  return true;
}

bool Text::convert(PyObject* obj, type& out) {
  std::string_view view;
  if (!TextView::convert(obj, view)) return false;
  out.assign(view);
  return true;
}

bool Int::convert(PyObject* obj, type& out) {
  // The 64-bit conversion: a C long is 32 bits on some platforms. An overflow
  // keeps the message the C long conversion gives where it is 64 bits wide,
  // so the text is the same on every platform.
  std::int64_t value = 0;
  if (PyLong_AsInt64(obj, &value) == 0) {
    out = value;
    return true;
  }
  if (PyErr_ExceptionMatches(PyExc_OverflowError) != 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
  }
  return false;
}

bool Real::convert(PyObject* obj, type& out) {
  // An int converts straight to the nearest float (what its __float__ gives,
  // errors included) without a float object made and dropped on the way.
  const double value = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  out = value;
  return true;
}

bool Bool::convert(PyObject* obj, type& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) {
    out = obj == Py_True;
    return true;
  }
  // numpy's bool, recognised by its module and type name (numpy is never
  // imported here).
  if (type_text(Ref::steal(PyType_GetModuleName(type))) == "numpy") {
    const std::string name = type_text(Ref::steal(PyType_GetName(type)));
    if (name == "bool_" || name == "bool") {
      Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
      if (!method) {
        PyErr_Clear();
        Ref type_str = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        if (!type_str) return false;
        raise(PyExc_TypeError,
              "object of type '" + type_text(std::move(type_str)) + "' does not define a '__bool__' conversion");
        return false;
      }
      Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
      if (!result) return false;
      if (Py_TYPE(result.get()) != &PyBool_Type) return not_instance(result.get(), "bool");
      out = result.get() == Py_True;
      return true;
    }
  }
  return not_instance(obj, "bool");
}

namespace {

template <class T>
void reserve(std::vector<T>& out, std::size_t n) {
  out.reserve(n);
}
template <class T>
void reserve(NumCol<T>& out, std::size_t n) {
  out.values.reserve(n);
}
void reserve(StrCol& out, std::size_t n) { out.offsets.reserve(n + 1); }

template <class T, class V>
void append(std::vector<T>& out, V&& value) {
  out.push_back(std::forward<V>(value));
}
template <class T>
void append(NumCol<T>& out, T value) {
  out.push(value);
}
void append(StrCol& out, std::string_view value) { out.push(value); }

}  // namespace

template <class Item, class Out>
bool Seq<Item, Out>::convert(PyObject* obj, type& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(obj) == 0) {
    const std::string* name = sequence_name();
    if (name == nullptr) return false;
    return not_instance(obj, *name);
  }
  // The length only reserves room. Lists and tuples know theirs; any other
  // sequence's __len__ may say anything, so at most a modest amount of room
  // is taken on its word and the vector grows past it as items arrive.
  const Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) {
    PyErr_Clear();
  } else {
    constexpr std::size_t trusted_only = std::size_t{1} << 16;
    const bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    reserve(out, exact ? static_cast<std::size_t>(size) : std::min(static_cast<std::size_t>(size), trusted_only));
  }
  // A long list of texts (many column names) holds str objects made at
  // different times, spread over memory: each one's header and bytes are
  // asked for some items ahead, so that their cache misses overlap. No Python
  // code runs while texts convert, so the list keeps its items meanwhile.
  constexpr Py_ssize_t ahead = 16;
  constexpr bool texts =
      std::is_same_v<typename Item::type, std::string> || std::is_same_v<typename Item::type, std::string_view>;
  const Py_ssize_t prefetched = texts && PyList_CheckExact(obj) ? size : 0;
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  for (Py_ssize_t i = 0;; ++i) {
    if (i + ahead < prefetched) {
      const char* next = reinterpret_cast<const char*>(PyList_GetItem(obj, i + ahead));
      if (next != nullptr) {
        prefetch(next);
        prefetch(next + 64);
      }
    }
    PyObject* raw = nullptr;
    const int got = PyIter_NextItem(iter.get(), &raw);
    if (got < 0) return false;
    if (got == 0) return true;
    Ref item = Ref::steal(raw);
    typename Item::type value{};
    if (!Item::convert(item.get(), value)) return false;
    append(out, std::move(value));
  }
}
template struct Seq<Text>;
template struct Seq<Real>;
template struct Seq<Int, I64Col>;
template struct Seq<Real, F64Col>;
template struct Seq<TextView, StrCol>;

PyObject* to_python(None /*none*/) { Py_RETURN_NONE; }
PyObject* to_python(Table&& table) { return new_frame(std::move(table)); }
PyObject* to_python(Groups&& groups) { return new_grouped(std::move(groups)); }
PyObject* to_python(const std::string& text) { return text_object(text).release(); }
PyObject* to_python(std::uint64_t count) { return PyLong_FromUnsignedLongLong(count); }

namespace {

template <class Texts>
PyObject* text_list(const Texts& texts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    Ref item = text_object(texts[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

// One Python object per cell (new reference), None for a missing cell.
PyObject* cell_object(const F64Col& c, std::uint32_t r) { return PyFloat_FromDouble(c.values[r]); }
PyObject* cell_object(const I64Col& c, std::uint32_t r) { return PyLong_FromLongLong(c.values[r]); }

// Equal texts of one column share their str object (see TextCache).
struct TextCells {
  const StrCol& col;
  TextCache cache;
  PyObject* operator()(std::uint32_t r) { return cache.get(col.at(r)); }
};

template <class C>
auto cell_maker(const C& col) {
  if constexpr (std::is_same_v<C, StrCol>) {
    return TextCells{col, {}};
  } else {
    return [&col](std::uint32_t r) { return cell_object(col, r); };
  }
}

template <class C>
PyObject* cell_list(const Table& table, const C& col) {
  const std::uint64_t n = table.height;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;
  // A column with no missing cell skips the validity lookup of every cell.
  const bool dense = col.valid.all_present();
  auto make = cell_maker(col);
  for (std::uint64_t p = 0; p < n; ++p) {
    const std::uint32_t r = index != nullptr ? index[p] : static_cast<std::uint32_t>(p);
    PyObject* item = dense || col.present(r) ? make(r) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(p), item);
  }
  return list.release();
}

}  // namespace

PyObject* to_python(const std::vector<std::string>& texts) { return text_list(texts); }
PyObject* to_python(const std::vector<std::string_view>& texts) { return text_list(texts); }

PyObject* to_python(const Cells& cells) {
  return std::visit([&](const auto& c) { return cell_list(*cells.table, c); }, *cells.col);
}

}  // namespace kelo_frame::api
