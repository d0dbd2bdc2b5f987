// Python bindings of the native core used by the package's Python modules.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
#include <cstring>
#include <ctime>
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

// One field of a summary entry (a dict, or any mapping): a new reference, or null with KeyError.
PyObject* field(PyObject* entry, PyObject* key) {
  if (PyDict_CheckExact(entry)) {
    PyObject* found = PyDict_GetItemWithError(entry, key);
    if (found != nullptr) return Py_NewRef(found);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return PyObject_GetItem(entry, key);
}

// Whether `status` equals one of the items of tuple `statuses` (-1 on error).
int status_in(PyObject* status, PyObject* statuses) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(statuses); ++k) {
    const int equal = PyObject_RichCompareBool(status, PyTuple_GET_ITEM(statuses, k), Py_EQ);
    if (equal != 0) return equal;
  }
  return 0;
}

// What one changed entry means for the run: a component of `plan` that starts running joins
// `running` and gets its start time in `since`; one of `running` that leaves that status loses
// its start time and, when it finished, leaves `running` and is appended to `out` (made here).
int follow_entry(PyObject* entry, PyObject* const* args, double clock, PyObject** out) {
  static PyObject* const status_key = PyUnicode_InternFromString("execution_status");
  static PyObject* const id_key = PyUnicode_InternFromString("identifier");
  PyObject* plan = args[2];
  PyObject* running = args[3];
  PyObject* since = args[4];
  PyObject* status = field(entry, status_key);
  if (status == nullptr) return -1;
  PyObject* cid = field(entry, id_key);
  int ok = cid != nullptr ? 0 : -1;
  int is_running = ok == 0 ? PyObject_RichCompareBool(status, args[5], Py_EQ) : -1;
  if (is_running == 1) {
    int planned = PySet_Contains(plan, cid);
    if (planned == 1) {
      int known = PyDict_Contains(since, cid);
      ok = PySet_Add(running, cid);
      if (ok == 0 && known == 0) {
        PyObject* start = PyFloat_FromDouble(clock);
        ok = start != nullptr ? PyDict_SetItem(since, cid, start) : -1;
        Py_XDECREF(start);
      } else if (known < 0) {
        ok = -1;
      }
    } else if (planned < 0) {
      ok = -1;
    }
  } else if (is_running == 0) {
    int tracked = PySet_Contains(running, cid);
    if (tracked == 1) {
      if (PyDict_Contains(since, cid) == 1) ok = PyDict_DelItem(since, cid);
      int done = ok == 0 ? status_in(status, args[6]) : -1;
      if (done == 1) {
        if (*out == nullptr) *out = PyList_New(0);
        ok = *out != nullptr && PySet_Discard(running, cid) >= 0 ? PyList_Append(*out, cid) : -1;
      } else if (done < 0) {
        ok = -1;
      }
    } else if (tracked < 0) {
      ok = -1;
    }
  } else {
    ok = -1;
  }
  Py_DECREF(status);
  Py_XDECREF(cid);
  return ok;
}

// follow_run(now, before, plan, running, since, running_status, finished_statuses): looks at
// the entries of summary list `now` that are other objects than those of list `before` at the
// same position (or past its end) and returns the ids of the components of the run that
// finished there, in list order (an empty tuple when none did); `running` and `since` are
// updated as follow_entry() says. Summaries keep the entry objects of unchanged components, so
// this reads two pointer arrays and the few entries that changed. A front-end callback calls it
// for every record, as a plain fast-call function: it must cost far less than a record does.
PyObject* follow_run(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7 || !PyList_Check(args[0]) || !PyList_Check(args[1]) || !PyAnySet_Check(args[2]) ||
      !PySet_Check(args[3]) || !PyDict_Check(args[4]) || !PyTuple_Check(args[6])) {
    PyErr_SetString(PyExc_TypeError,
                    "follow_run(now: list, before: list, plan: set, running: set, since: dict, "
                    "running_status, finished_statuses: tuple)");
    return nullptr;
  }
  PyObject* now = args[0];
  PyObject* before = args[1];
  const Py_ssize_t n = PyList_GET_SIZE(now);
  const Py_ssize_t m = PyList_GET_SIZE(before);
  PyObject** a = PySequence_Fast_ITEMS(now);
  PyObject** b = PySequence_Fast_ITEMS(before);
  const Py_ssize_t common = n < m ? n : m;
  // The time components start, read once per record (time.monotonic()'s clock).
  double clock = -1.0;
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
      if (clock < 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        clock = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
      }
      PyObject* entry = Py_NewRef(a[i]);
      const int ok = follow_entry(entry, args, clock, &out);
      Py_DECREF(entry);
      if (ok < 0) {
        Py_XDECREF(out);
        return nullptr;
      }
      // Reading an entry that is no plain dict may run Python code, which may edit the lists.
      if (PyList_GET_SIZE(now) != n || PyList_GET_SIZE(before) != m) {
        Py_XDECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "follow_run: a summary list changed while read");
        return nullptr;
      }
      a = PySequence_Fast_ITEMS(now);
      b = PySequence_Fast_ITEMS(before);
    }
  }
  return out != nullptr ? out : PyTuple_New(0);
}

PyMethodDef fast_functions[] = {
    {"follow_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&follow_run)),
     METH_FASTCALL,
     "follow_run(now, before, plan, running, since, running_status, finished_statuses)\n--\n\n"
     "Ids of the components of `plan` that finished in the entries of summary list `now` that "
     "are other objects than those of list `before`; updates `running` (ids seen running) and "
     "`since` (id -> start, time.monotonic()'s clock) on the way."},
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
