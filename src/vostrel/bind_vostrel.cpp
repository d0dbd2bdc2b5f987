// Module definition of the code-cell component: builds OrvaneComponentVostrel on LoggingMixin.
#include "common/fork_guard.hpp"
#include "common/pyclass.hpp"
#include "core/banner.hpp"
#include "vostrel/component.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vostrel, m) {
  orvane::fork_guard::loaded_pid();
  m.doc() = "The code-cell component of a pipeline.";
  // Docstrings are the plain texts, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  // Module statements are expressions such as importlib.import_module('numpy'), evaluated with
  // this module's globals.
  m.attr("importlib") = py::module_::import("importlib");
  m.attr("EXC_LINE_LENGTH") = orvane::kExcLineLength;
  m.attr("EXC_TRACEBACK") = orvane::kExcTraceback;

  orvane::vostrel::init_refs(m);
  py::object cls = orvane::pyclass::make_class(
      m, "OrvaneComponentVostrel", py::make_tuple(orvane::vostrel::refs().logging_mixin),
      "Data structure to represent a code cell in a pipeline (or a graph node.)");
  orvane::vostrel::register_state(cls);
  orvane::vostrel::register_caches(cls);
  orvane::vostrel::register_execution(cls);
}
