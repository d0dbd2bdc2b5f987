// The trial-progress callback's native state: where it reports and the latest trial's report.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::tracemark {

namespace py = pybind11;

// Native base of OrvaneHPOTracemarkCallback. The public class also derives from the package's
// Python callback base, whose constructor assigns `_pipeline_callback`; that assignment lands in
// `pipeline_callback` through a property of this base.
class Tracemark {
 public:
  // Reports one finished trial, or stops the study when an objective value diverged.
  void on_trial(const py::object& study, const py::object& trial);

  py::object pipeline_callback = py::none();
  py::dict live_log;  // the same mapping is updated and sent for every trial
};

void register_tracemark(py::module_& m);

}  // namespace orvane::tracemark
