// Python bindings of the native core used by the package's Python modules.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
#include <cstring>
#include <string>

#include "common/error_banner.hpp"
#include "core/banner.hpp"
#include "core/component_state.hpp"

namespace py = pybind11;

namespace {

// (NAME, text) of each status, in order: the members of the package's status enumerations.
template <typename StatusList>
py::list members(const StatusList& statuses) {
  py::list made;
  for (auto status : statuses) {
    std::string name = orvane::component::to_string(status);
    for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    made.append(py::make_tuple(name, orvane::component::to_string(status)));
  }
  return made;
}

// changed_positions(now, before): the positions at which list `now` holds another object than
// list `before` (by identity), and every position past the end of `before` (an empty tuple when
// there is none). Summaries reuse the
// entry objects of unchanged components, so this finds what changed between two of them by
// reading two pointer arrays. A front-end callback calls it for every record, so it is a plain
// fast-call function: the generic binding's argument dispatch would cost more than the scan.
PyObject* changed_positions(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyList_Check(args[0]) || !PyList_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "changed_positions(now, before) takes two lists");
    return nullptr;
  }
  PyObject* now = args[0];
  PyObject* before = args[1];
  const Py_ssize_t n = PyList_GET_SIZE(now);
  const Py_ssize_t m = PyList_GET_SIZE(before);
  PyObject** a = PySequence_Fast_ITEMS(now);
  PyObject** b = PySequence_Fast_ITEMS(before);
  const Py_ssize_t common = n < m ? n : m;
  // Made at the first difference: most records change nothing, and an empty tuple is shared.
  PyObject* out = nullptr;
  // Blocks of pointers that are all equal are skipped with one memcmp: most entries are.
  constexpr Py_ssize_t kBlock = 64;
  for (Py_ssize_t start = 0; start < n; start += kBlock) {
    const Py_ssize_t end = start + kBlock < n ? start + kBlock : n;
    if (end <= common &&
        std::memcmp(a + start, b + start, (end - start) * sizeof(PyObject*)) == 0) {
      continue;
    }
    for (Py_ssize_t i = start; i < end; ++i) {
      if (i < common && a[i] == b[i]) continue;
      if (out == nullptr && (out = PyList_New(0)) == nullptr) return nullptr;
      PyObject* index = PyLong_FromSsize_t(i);
      if (index == nullptr || PyList_Append(out, index) < 0) {
        Py_XDECREF(index);
        Py_DECREF(out);
        return nullptr;
      }
      Py_DECREF(index);
    }
  }
  return out != nullptr ? out : PyTuple_New(0);
}

PyMethodDef fast_functions[] = {
    {"changed_positions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&changed_positions)), METH_FASTCALL,
     "changed_positions(now, before)\n--\n\nPositions at which list `now` holds another object "
     "than list `before` (compared by identity), and every position past the end of `before`; an "
     "empty tuple when there is none."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace orvane {
void bind_store(py::module_& m);
void bind_writer(py::module_& m);
void bind_paths(py::module_& m);
void bind_graph(py::module_& m);
}  // namespace orvane

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native helpers of the pipeline engine.";
  m.attr("EXC_LINE_LENGTH") = orvane::kExcLineLength;
  m.attr("EXC_TRACEBACK") = orvane::kExcTraceback;
  m.attr("COMPONENT_STATUSES") = members(orvane::component::kStatuses);
  m.attr("DISKCACHE_STATUSES") = members(orvane::component::kDiskStatuses);
  m.def("format_error_banner", &orvane::format_error_banner, py::arg("exc_name"),
        py::arg("traceback_entries"), py::arg("exc_text"),
        "The four error-banner lines of a failed component.");
  m.def(
      "error_banner",
      [](const py::object& exc, const py::object& tb) {
        return orvane::error_banner::lines(exc, tb, nullptr);
      },
      py::arg("exc"), py::arg("tb"),
      "The four error-banner lines of an exception raised by a cell, showing traceback `tb`.");
  if (PyModule_AddFunctions(m.ptr(), fast_functions) < 0) throw py::error_already_set();
  orvane::bind_store(m);
  orvane::bind_writer(m);
  orvane::bind_paths(m);
  orvane::bind_graph(m);
}
