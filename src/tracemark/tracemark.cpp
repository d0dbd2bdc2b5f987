// Reporting each finished optimization trial to the front end, and stopping a diverged study.
#include "tracemark/tracemark.hpp"

#include <vector>

#include "common/py_values.hpp"
#include "core/search_space.hpp"

namespace orvane::tracemark {

namespace {

using py_values::keep;

constexpr const char* kDiverged = "Optimization failed because the target value diverged";

// Records and enumerations, resolved once; leaked so that they outlive the interpreter's teardown.
struct Records {
  py::handle record, trial_executed, hpo_error, successful, failed;
};

const Records& records() {
  static const Records* r = [] {
    py::module_ misc = py::module_::import("orvane_core.misc");
    py::object procedure = misc.attr("OrvanePipelineCallbackProcedure");
    py::object status = misc.attr("OrvanePipelineCallbackStatus");
    auto* made = new Records;
    made->record = keep(
        py::module_::import("orvane_core.misc.models").attr("OrvanePipelineCallbackDataModel"));
    made->trial_executed = keep(procedure.attr("HPO_TRIAL_EXECUTED"));
    made->hpo_error = keep(procedure.attr("HPO_ERROR"));
    made->successful = keep(status.attr("SUCCESSFUL"));
    made->failed = keep(status.attr("FAILED"));
    return made;
  }();
  return *r;
}

std::vector<double> as_doubles(const py::handle& values) {
  std::vector<double> out;
  for (const py::handle& v : values) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    out.push_back(d);
  }
  return out;
}

}  // namespace

void Tracemark::on_trial(const py::object& study, const py::object& trial) {
  const Records& r = records();
  const bool report = py::bool_(pipeline_callback);
  py::object values = trial.attr("values");
  py::object number = trial.attr("number");

  if (values.is_none()) {
    // A trial whose target was not a number ends without values; the search goes on.
    if (!report) return;
    py::dict failed;
    failed["trials"] = number;
    failed["parameters"] = trial.attr("params");
    failed["values"] = py::none();
    pipeline_callback(
        r.record(py::arg("procedure") = r.trial_executed, py::arg("status") = r.failed,
                 py::arg("msg") = search::failed_trial_message(number.cast<long long>()),
                 py::arg("successful") = py::dict(), py::arg("failed") = failed));
    return;
  }

  if (search::any_infinite(as_doubles(values))) {
    study.attr("stop")();
    if (report) {
      pipeline_callback(r.record(py::arg("procedure") = r.hpo_error,
                                 py::arg("status") = r.successful, py::arg("msg") = kDiverged));
    }
    return;
  }

  live_log["trials"] = number;
  live_log["parameters"] = trial.attr("params");
  live_log["values"] = values;
  if (report) {
    pipeline_callback(r.record(py::arg("procedure") = r.trial_executed,
                               py::arg("status") = r.successful, py::arg("msg") = "",
                               py::arg("successful") = live_log));
  }
}

}  // namespace orvane::tracemark
