// Module definition of `tracemark`: OrvaneHPOTracemarkCallback over its native base.
#include "common/pyclass.hpp"
#include "tracemark/tracemark.hpp"

namespace py = pybind11;
using orvane::tracemark::Tracemark;

PYBIND11_MODULE(tracemark, m) {
  m.doc() = "The optimizer's trial-progress callback.";
  py::options options;
  options.disable_function_signatures();

  auto base = py::class_<Tracemark>(m, "_OrvaneHPOTracemarkBase",
                                    "Native state of the trial-progress callback.")
                  .def(py::init<>())
                  .def_readwrite("_pipeline_callback", &Tracemark::pipeline_callback)
                  .def_property_readonly(
                      "_live_log", [](const Tracemark& t) { return t.live_log; },
                      "The latest trial's report.")
                  .def("__call__", &Tracemark::on_trial, py::arg("study"), py::arg("trial"));

  py::object interface =
      py::module_::import("orvane_core.callbacks.callback_meta").attr("IOrvaneHPOCallback");
  py::object cls =
      orvane::pyclass::make_class(m, "OrvaneHPOTracemarkCallback", py::make_tuple(base, interface),
                                  "Tracemark callback for optimizer.");
  py::object base_init = base.attr("__init__");
  py::object interface_init = interface.attr("__init__");
  orvane::pyclass::def(
      cls, "__init__",
      [base_init, interface_init](py::object self, py::object pipeline_callback) {
        base_init(self);
        interface_init(self, py::arg("pipeline_callback") = pipeline_callback);
      },
      py::arg("pipeline_callback"));
}
