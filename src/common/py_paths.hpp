// Paths between Python and the native file functions: file-system text both ways, and native
// file errors raised as the OSError the platform's own functions would raise.
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/py_values.hpp"
#include "core/cache_folders.hpp"

namespace orvane::py_paths {

namespace py = pybind11;

// The file-system bytes of a path value (text, bytes or any path-like object).
inline std::string text(const py::handle& path) {
  py::object fs = py_values::checked(PyOS_FSPath(path.ptr()));
  if (!PyBytes_Check(fs.ptr())) fs = py_values::checked(PyUnicode_EncodeFSDefault(fs.ptr()));
  return std::string(py::bytes(fs));
}

// A native path as Python text, undecodable bytes kept as the file functions keep them.
inline py::str str(const std::string& path) {
  return py_values::checked(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), py::ssize_t_cast(path.size())));
}

// The entry names of the directory `dir`. A native error is raised as OSError(errno, message,
// filename), which Python narrows to its subclass (FileNotFoundError, PermissionError...).
inline std::vector<std::string> list(const std::string& dir) {
  try {
    return list_directory(dir);
  } catch (const FileError& error) {
    errno = error.err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, str(error.path).ptr());
    throw py::error_already_set();
  }
}

}  // namespace orvane::py_paths
