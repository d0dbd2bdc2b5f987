// Python bindings of the native core used by the package's Python modules.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
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

}  // namespace

namespace orvane {
void bind_store(py::module_& m);
void bind_writer(py::module_& m);
void bind_paths(py::module_& m);
void bind_graph(py::module_& m);
void bind_follow(py::module_& m);
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
  orvane::bind_store(m);
  orvane::bind_writer(m);
  orvane::bind_paths(m);
  orvane::bind_graph(m);
  orvane::bind_follow(m);
}
