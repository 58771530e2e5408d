// The Grouped class: a Groups value and the aggregations that turn it into
// frames.
#include <string>

#include "call.hpp"
#include "interchange.hpp"

namespace kelo_frame::api {

extern const char free_doc[];

namespace {

PyObject* groups(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Groups>(self, [](const Groups& g) { return g.size(); });
}

PyObject* count(PyObject* self, PyObject* /*unused*/) {
  // One row per group: the work is the groups.
  return call_noargs<Groups>(
      self, released([](const Groups& g) { return g.count(); }, [](const Groups& g) { return g.size(); }));
}

template <Agg op, const Signature& sig>
PyObject* aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call<Groups, Borrow::Shared, Text>(
      sig, self, args, nargs, kw, released([](const Groups& g, const std::string& n) { return g.agg(n, op); }));
}
constexpr Signature sum_sig{"Grouped", "sum", {"name"}};
constexpr Signature mean_sig{"Grouped", "mean", {"name"}};
constexpr Signature min_sig{"Grouped", "min", {"name"}};
constexpr Signature max_sig{"Grouped", "max", {"name"}};

std::string describe_text(const Groups& g) {
  std::string out = "Grouped(" + std::to_string(g.size()) + " groups by ";
  for (std::size_t i = 0; i < g.keys.size(); ++i) {
    if (i != 0) out += ", ";
    out += g.keys[i];
  }
  out += ')';
  return out;
}

PyObject* describe(PyObject* self, PyObject* /*unused*/) { return call_noargs<Groups>(self, describe_text); }

PyObject* free_method(PyObject* self, PyObject* /*unused*/) {
  return call_noargs<Groups>(self, [](const Groups& /*g*/) { return None{}; });
}

}  // namespace

PyMethodDef grouped_methods[] = {
    KF_NOARGS("groups", groups, "groups($self)\n--\n\n"),
    KF_NOARGS("count", count, "count($self)\n--\n\n"),
    KF_FASTCALL("sum", (aggregate<Agg::Sum, sum_sig>), "sum($self, name)\n--\n\n"),
    KF_FASTCALL("mean", (aggregate<Agg::Mean, mean_sig>), "mean($self, name)\n--\n\n"),
    KF_FASTCALL("min", (aggregate<Agg::Min, min_sig>), "min($self, name)\n--\n\n"),
    KF_FASTCALL("max", (aggregate<Agg::Max, max_sig>), "max($self, name)\n--\n\n"),
    KF_NOARGS("describe", describe, "describe($self)\n--\n\n"),
    KF_NOARGS("free", free_method, free_doc),
    KF_FASTCALL("__reduce_ex__", grouped_reduce_ex, "__reduce_ex__($self, protocol)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* grouped_describe_slot(PyObject* self) { return call_noargs<Groups>(self, describe_text); }

}  // namespace kelo_frame::api
