// Small helpers on Python values shared by the binding modules: deliberately kept references,
// truth values and text.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>
#include <utility>

namespace orvane::py_values {

namespace py = pybind11;

// The new reference a C-API call returned, raising the Python error it set when it returned none.
inline py::object checked(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Keeps a reference for the life of the process. For objects looked up once at import: releasing
// them after the interpreter has finalised would crash.
inline py::handle keep(py::object value) { return value.release(); }

// The object at `path`, "module" or "module:name.name...", imported and looked up.
inline py::object lookup(const std::string& path) {
  const std::size_t colon = path.find(':');
  py::object module = py::module_::import(path.substr(0, colon).c_str());
  if (colon == std::string::npos) return module;
  return py::module_::import("operator").attr("attrgetter")(path.substr(colon + 1))(module);
}

// The object at `path`, looked up at its first use and kept for the life of the process. Keyed
// by the text's address: each caller passes a literal. The GIL guards the map.
inline py::handle kept(const char* path) {
  static std::unordered_map<const char*, py::handle> found;
  auto it = found.find(path);
  if (it == found.end()) it = found.emplace(path, keep(lookup(path))).first;
  return it->second;
}

// Runs `f`, dropping an ordinary Python exception it raises (an interrupt or an exit goes on);
// false when one was dropped.
template <typename F>
bool quietly(F&& f) {
  try {
    f();
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
}

// True late in interpreter shutdown, when nothing can be imported any more.
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Runs `f` when the scope ends, however it ends. A Python error it raises is reported as
// unraisable, naming `what`: a clean-up must not replace the error that ended the scope.
template <typename F>
class OnExit {
 public:
  OnExit(const char* what, F f) : what_(what), f_(std::move(f)) {}
  ~OnExit() {
    try {
      f_();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(what_);
    }
  }
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;

 private:
  const char* what_;
  F f_;
};

// list(values): a new list, never the caller's.
inline py::list list_copy(const py::handle& values) {
  return checked(PySequence_List(values.ptr()));
}

// The value's truth, raising the Python error of a value without one.
inline bool truthy(const py::handle& value) {
  return py::bool_(py::reinterpret_borrow<py::object>(value));
}

// str(value) as UTF-8.
inline std::string text_of(const py::handle& value) { return std::string(py::str(value)); }

// Text conversions that survive lone surrogates in exception texts and tracebacks.
inline std::string utf8(const py::handle& text) {
  return checked(PyUnicode_AsEncodedString(py::str(text).ptr(), "utf-8", "surrogatepass"))
      .cast<std::string>();
}

inline py::str from_utf8(const std::string& text) {
  return checked(PyUnicode_DecodeUTF8(text.data(), py::ssize_t_cast(text.size()), "surrogatepass"));
}

// Raises `type` as a Python error with a message that may hold lone surrogates (from exception
// texts).
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, from_utf8(message).ptr());
  throw py::error_already_set();
}

}  // namespace orvane::py_values
