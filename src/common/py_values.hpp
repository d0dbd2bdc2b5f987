// Small helpers on Python values shared by the binding modules: deliberately kept references,
// truth values and text.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orvane::py_values {

namespace py = pybind11;

// Keeps a reference for the life of the process. For objects looked up once at import: releasing
// them after the interpreter has finalised would crash.
inline py::handle keep(py::object value) { return value.release(); }

// The value's truth, raising the Python error of a value without one.
inline bool truthy(const py::handle& value) {
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

// str(value) as UTF-8.
inline std::string text_of(const py::handle& value) { return std::string(py::str(value)); }

// str(value) as UTF-8, and the empty text for None.
inline std::string text_or_empty(const py::handle& value) {
  return value.is_none() ? std::string() : text_of(value);
}

}  // namespace orvane::py_values
