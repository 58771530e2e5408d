// The Frame class: its constructor and methods, each one engine call behind
// the common call protocol.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "call.hpp"
#include "csv/write.hpp"
#include "csv_text.hpp"
#include "engine/date.hpp"
#include "engine/quote.hpp"
#include "interchange.hpp"

namespace kelo_frame::api {

namespace {

// --- the table model ---

template <class C>
Result<void> add_column(Table& table, const std::string& name, C& cells) {
  return table.add(name, Col(std::move(cells)));
}

// Adding to a view first copies its columns out of the shared storage: that
// is the work; on a table of its own an add only moves the new column in.
constexpr auto add_work = [](const Table& table, const auto&... /*args*/) -> std::uint64_t {
  return table.index ? table.height : 0;
};

PyObject* add_floats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "add_floats", {"name", "values"}};
  return call<Table, Borrow::Exclusive, Text, Seq<Real, F64Col>>(sig, self, args, nargs, kw,
                                                                 released(&add_column<F64Col>, add_work));
}

PyObject* add_ints(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "add_ints", {"name", "values"}};
  return call<Table, Borrow::Exclusive, Text, Seq<Int, I64Col>>(sig, self, args, nargs, kw,
                                                                released(&add_column<I64Col>, add_work));
}

PyObject* add_strings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "add_strings", {"name", "values"}};
  return call<Table, Borrow::Exclusive, Text, Seq<TextView, StrCol>>(sig, self, args, nargs, kw,
                                                                     released(&add_column<StrCol>, add_work));
}

PyObject* add_date_part(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "add_date_part", {"name", "source", "part"}};
  return call<Table, Borrow::Exclusive, Text, Text, Text>(
      sig, self, args, nargs, kw,
      released([](Table& table, const std::string& name, const std::string& source,
                  const std::string& part) -> Result<void> {
        auto which = date_part_named(part);
        if (!which) return fail(std::move(which.error()));
        auto col = table.date_part(source, *which);
        if (!col) return fail(std::move(col.error()));
        return table.add(name, std::move(*col));
      }));
}

PyObject* height(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Table>(self, [](const Table& t) { return t.height; });
}

PyObject* width(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Table>(self, [](const Table& t) { return t.width(); });
}

PyObject* names(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Table>(self, [](const Table& t) { return t.names(); });
}

PyObject* dtypes(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Table>(self, [](const Table& t) { return t.dtypes(); });
}

// The named column's cells, read in the table's row order, if it has dtype d.
Result<Cells> cells_of(const Table& table, const std::string& name, Dtype d) {
  auto col = table.col(name);
  if (!col) return fail(std::move(col.error()));
  if (dtype(**col) != d) {
    return fail("column " + quoted(name) + " is " + std::string(dtype_name(**col)) + ", not " +
                std::string(dtype_name(d)));
  }
  return Cells{&table, *col};
}

PyObject* floats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "floats", {"name"}};
  return call<Table, Borrow::Shared, Text>(
      sig, self, args, nargs, kw, [](const Table& t, const std::string& n) { return cells_of(t, n, Dtype::F64); });
}

PyObject* ints(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "ints", {"name"}};
  return call<Table, Borrow::Shared, Text>(
      sig, self, args, nargs, kw, [](const Table& t, const std::string& n) { return cells_of(t, n, Dtype::I64); });
}

PyObject* strings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "strings", {"name"}};
  return call<Table, Borrow::Shared, Text>(
      sig, self, args, nargs, kw, [](const Table& t, const std::string& n) { return cells_of(t, n, Dtype::Str); });
}

std::string describe_text(const Table& table) {
  std::string out = "Frame(" + std::to_string(table.height) + " rows: ";
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i != 0) out += ", ";
    out += table.columns[i].name;
    out += ' ';
    out += dtype_name(*table.columns[i].col);
  }
  out += ')';
  return out;
}

PyObject* describe(PyObject* self, PyObject* /*unused*/) { return call_noargs<Table>(self, describe_text); }

PyObject* free_method(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Table>(self, [](const Table& /*t*/) { return None{}; });
}

// --- views ---

// head(n) and tail(n) write one row number per row taken (none when they take
// the whole table, which shares it).
std::uint64_t taken_rows(const Table& table, std::int64_t n) {
  const std::uint64_t size = n >= 0 ? static_cast<std::uint64_t>(n) : ~static_cast<std::uint64_t>(n) + 1;
  return std::min(size, table.height);
}

PyObject* select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "select", {"names"}};
  return call<Table, Borrow::Shared, Seq<Text>>(
      sig, self, args, nargs, kw, [](const Table& t, const std::vector<std::string>& n) { return t.select(n); });
}

PyObject* head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "head", {"n"}};
  return call<Table, Borrow::Shared, Int>(
      sig, self, args, nargs, kw, released([](const Table& t, std::int64_t n) { return t.head(n); }, taken_rows));
}

PyObject* tail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "tail", {"n"}};
  return call<Table, Borrow::Shared, Int>(
      sig, self, args, nargs, kw, released([](const Table& t, std::int64_t n) { return t.tail(n); }, taken_rows));
}

// --- row operations ---

PyObject* sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "sort", {"name", "descending"}};
  return call<Table, Borrow::Shared, Text, Bool>(
      sig, self, args, nargs, kw,
      released([](const Table& t, const std::string& n, bool desc) { return t.sort(n, desc); }));
}

template <Cmp op, const Signature& sig>
PyObject* where_cmp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call<Table, Borrow::Shared, Text, Real>(
      sig, self, args, nargs, kw,
      released([](const Table& t, const std::string& n, double v) { return t.where_num(n, op, v); }));
}
constexpr Signature where_eq_sig{"Frame", "where_eq", {"name", "value"}};
constexpr Signature where_ne_sig{"Frame", "where_ne", {"name", "value"}};
constexpr Signature where_lt_sig{"Frame", "where_lt", {"name", "value"}};
constexpr Signature where_le_sig{"Frame", "where_le", {"name", "value"}};
constexpr Signature where_gt_sig{"Frame", "where_gt", {"name", "value"}};
constexpr Signature where_ge_sig{"Frame", "where_ge", {"name", "value"}};

PyObject* where_among(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "where_among", {"name", "values"}};
  return call<Table, Borrow::Shared, Text, Seq<Real>>(
      sig, self, args, nargs, kw,
      released([](const Table& t, const std::string& n, const std::vector<double>& v) { return t.where_among(n, v); }));
}

PyObject* where_is(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "where_is", {"name", "value"}};
  return call<Table, Borrow::Shared, Text, Text>(
      sig, self, args, nargs, kw, released([](const Table& t, const std::string& n, const std::string& v) {
        return t.where_in(n, std::span<const std::string>(&v, 1));
      }));
}

PyObject* where_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "where_in", {"name", "values"}};
  return call<Table, Borrow::Shared, Text, Seq<Text>>(
      sig, self, args, nargs, kw, released([](const Table& t, const std::string& n, const std::vector<std::string>& v) {
        return t.where_in(n, v);
      }));
}

// --- grouping and CSV ---

PyObject* group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr Signature sig{"Frame", "group", {"names"}};
  return call<Table, Borrow::Shared, Seq<Text>>(
      sig, self, args, nargs, kw,
      released([](const Table& t, const std::vector<std::string>& n) { return t.group(n); }));
}

PyObject* to_csv(PyObject* self, PyObject* /*unused*/) { return call_noargs<Table>(self, csv_text); }

}  // namespace

extern const char free_doc[] =
    "free($self)\n--\n\nNothing under CPython, which frees the object itself; in a page, the instance goes back to "
    "the library.";

// The method table, in its published order.
PyMethodDef frame_methods[] = {
    KF_FASTCALL("add_floats", add_floats, "add_floats($self, name, values)\n--\n\n"),
    KF_FASTCALL("add_ints", add_ints, "add_ints($self, name, values)\n--\n\n"),
    KF_FASTCALL("add_strings", add_strings, "add_strings($self, name, values)\n--\n\n"),
    KF_FASTCALL("add_date_part", add_date_part, "add_date_part($self, name, source, part)\n--\n\n"),
    KF_NOARGS("height", height, "height($self)\n--\n\n"),
    KF_NOARGS("width", width, "width($self)\n--\n\n"),
    KF_NOARGS("names", names, "names($self)\n--\n\n"),
    KF_NOARGS("dtypes", dtypes, "dtypes($self)\n--\n\n"),
    KF_FASTCALL("select", select, "select($self, names)\n--\n\n"),
    KF_FASTCALL("head", head, "head($self, n)\n--\n\n"),
    KF_FASTCALL("tail", tail, "tail($self, n)\n--\n\n"),
    KF_FASTCALL("sort", sort, "sort($self, name, descending)\n--\n\n"),
    KF_FASTCALL("where_eq", (where_cmp<Cmp::Eq, where_eq_sig>), "where_eq($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_ne", (where_cmp<Cmp::Ne, where_ne_sig>), "where_ne($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_lt", (where_cmp<Cmp::Lt, where_lt_sig>), "where_lt($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_le", (where_cmp<Cmp::Le, where_le_sig>), "where_le($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_gt", (where_cmp<Cmp::Gt, where_gt_sig>), "where_gt($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_ge", (where_cmp<Cmp::Ge, where_ge_sig>), "where_ge($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_among", where_among, "where_among($self, name, values)\n--\n\n"),
    KF_FASTCALL("where_is", where_is, "where_is($self, name, value)\n--\n\n"),
    KF_FASTCALL("where_in", where_in, "where_in($self, name, values)\n--\n\n"),
    KF_FASTCALL("group", group, "group($self, names)\n--\n\n"),
    KF_FASTCALL("floats", floats, "floats($self, name)\n--\n\n"),
    KF_FASTCALL("ints", ints, "ints($self, name)\n--\n\n"),
    KF_FASTCALL("strings", strings, "strings($self, name)\n--\n\n"),
    KF_NOARGS("to_csv", to_csv, "to_csv($self)\n--\n\n"),
    KF_NOARGS("describe", describe, "describe($self)\n--\n\n"),
    KF_NOARGS("free", free_method, free_doc),
    // Interchange (arrow.cpp, pickle.cpp).
    {"from_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_arrow)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_arrow($type, data)\n--\n\n"},
    KF_NOARGS("__arrow_c_schema__", arrow_c_schema, "__arrow_c_schema__($self)\n--\n\n"),
    KF_FASTCALL("__arrow_c_stream__", arrow_c_stream, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"),
    KF_FASTCALL("__reduce_ex__", frame_reduce_ex, "__reduce_ex__($self, protocol)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* frame_describe_slot(PyObject* self) { return call_noargs<Table>(self, describe_text); }

// Frame(): takes no arguments and makes an empty table.
PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"Frame", "__new__", {}};
  PyObject* slots[1] = {};
  if (!bind(sig, args, kwargs, slots)) return nullptr;
  (void)type;  // always a Frame: the type cannot be subclassed
  return new_frame(Table{});
}

}  // namespace kelo_frame::api
