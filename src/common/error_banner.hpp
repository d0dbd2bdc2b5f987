// The error banner of a Python exception, for every module that reports a failed cell.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/py_values.hpp"
#include "core/banner.hpp"

namespace orvane::error_banner {

namespace py = pybind11;

// str(value), or `stand_in` when it cannot be printed: the banner must still be made.
inline std::string text_or(const py::handle& value, const std::string& stand_in) {
  try {
    return py_values::utf8(value);
  } catch (py::error_already_set&) {
    return stand_in;
  }
}

// The banner lines of `exc` showing the traceback `tb`; `text` replaces str(exc) when given.
inline py::list lines(const py::handle& exc, const py::handle& tb, const std::string* text) {
  const std::string name = py_values::utf8(py::type::of(exc).attr("__name__"));
  py::object formatted = py_values::lookup("traceback:format_exception")(py::type::of(exc), exc, tb,
                                                                         py::arg("chain") = true);
  std::vector<std::string> entries;
  for (const py::handle& entry : formatted) entries.push_back(py_values::utf8(entry));
  std::vector<std::string> notes;
  py::object raw = py::getattr(exc, "__notes__", py::none());
  if (PyList_Check(raw.ptr()) || PyTuple_Check(raw.ptr())) {
    for (const py::handle& note : raw) notes.push_back(text_or(note, "<note str() failed>"));
  }
  const std::string shown = text ? *text : text_or(exc, "<unprintable " + name + " object>");
  py::list made;
  for (const std::string& line : exception_banner(name, std::move(entries), shown, notes)) {
    made.append(py_values::from_utf8(line));
  }
  return made;
}

}  // namespace orvane::error_banner
