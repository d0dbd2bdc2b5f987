// The error banner of a Python exception, for every module that reports a failed cell.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/py_values.hpp"
#include "core/banner.hpp"

namespace orvane::error_banner {

namespace py = pybind11;

// str(exc), or a stand-in when the exception cannot be printed: the banner must still be made.
inline std::string exception_text(const py::handle& exc, const std::string& type_name) {
  try {
    return py_values::utf8(exc);
  } catch (py::error_already_set&) {
    return "<unprintable " + type_name + " object>";
  }
}

// The banner lines of `exc` showing the traceback `tb`; `text` replaces str(exc) when given.
inline py::list lines(const py::handle& exc, const py::handle& tb, const std::string* text) {
  const std::string name = py_values::utf8(py::type::of(exc).attr("__name__"));
  py::object formatted =
      py::module_::import("traceback")
          .attr("format_exception")(py::type::of(exc), exc, tb, py::arg("chain") = true);
  std::vector<std::string> entries;
  for (const py::handle& entry : formatted) entries.push_back(py_values::utf8(entry));
  std::vector<std::string> notes;
  py::object raw = py::getattr(exc, "__notes__", py::none());
  if (PyList_Check(raw.ptr()) || PyTuple_Check(raw.ptr())) {
    for (const py::handle& note : raw) notes.push_back(py_values::utf8(note));
  }
  py::list banner;
  for (const std::string& line : exception_banner(
           name, std::move(entries), text ? *text : exception_text(exc, name), notes)) {
    banner.append(py_values::from_utf8(line));
  }
  return banner;
}

}  // namespace orvane::error_banner
