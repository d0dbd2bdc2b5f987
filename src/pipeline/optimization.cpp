// Pipeline members: the parameter search, whose trials re-execute a component with new values.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"
#include "core/search_space.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace search = orvane::search;

constexpr const char* kNoParameters = "At least one parameter to be optimized must be entered.";

void report(const py::object& self, const char* procedure, const std::string& msg) {
  py::handle procedures = py_values::kept("orvane_core.misc:OrvanePipelineCallbackProcedure");
  run_callback(self, outcome_record(procedures.attr(procedure), true, py_values::from_utf8(msg)));
}

// float(description[key]); a value float() refuses is kept with its complaint.
search::BoundRead read_bound(const py::handle& description, const char* key) {
  py::object raw;  // stays null while the key is missing
  try {
    raw = description[key];
    return {true, py::float_(raw), {}};
  } catch (py::error_already_set& e) {
    if (!raw && e.matches(PyExc_KeyError)) return {};
    if (!raw || (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))) throw;
    return {true, 0, py_values::utf8(e.value())};
  }
}

// Draws the trial's value of one parameter. The description's errors and optuna's own
// complaints about it (low above high, a non-positive log bound or step) are input errors that
// name the parameter.
py::object suggest(const py::object& trial, const py::handle& name, const py::handle& description) {
  const std::string parameter = py_values::utf8(name);
  const search::BoundRead low = read_bound(description, "low"),
                          high = read_bound(description, "high");
  py::object interval = description.attr("get")("interval", py::none());
  py::object distribution = description.attr("get")("distribution", "uniform");
  const search::Draw draw = search::draw_for(
      parameter, {low, high, !interval.is_none(), py::isinstance<py::str>(distribution),
                  py_values::utf8(distribution)});
  if (!draw.error.empty()) py_values::raise(PyExc_ValueError, draw.error);
  try {
    if (draw.integer) {
      return trial.attr("suggest_int")(name, draw.int_low, draw.int_high, py::arg("step") = 1);
    }
    return trial.attr("suggest_float")(name, draw.low, draw.high,
                                       py::arg("step") = draw.stepped ? interval : py::none(),
                                       py::arg("log") = draw.log);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    // Raised with the texts' lone surrogates kept, so that a message quoting one is reported.
    py_values::raise(PyExc_ValueError,
                     search::description_error(parameter, py_values::utf8(e.value())));
  }
}

search::TargetValue target_value(const py::handle& value) {
  if (!py::isinstance(value, py_values::kept("numbers:Real")))
    return search::TargetValue::not_number;
  // The study keeps floating-point values: an integer beyond their range cannot be one.
  if (PyFloat_AsDouble(value.ptr()) != -1.0 || !PyErr_Occurred()) {
    return search::TargetValue::number;
  }
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
  PyErr_Clear();
  return search::TargetValue::too_large;
}

// One trial; `show` false runs quietly (opt-in: a front end shows its own progress instead). A
// run that was interrupted ends the search as the interrupt would have.
py::object run_trial(const py::object& self, const py::object& trial, const py::str& component_id,
                     const py::object& parameters, bool show) {
  PipelineState& st = state(self);
  py::dict values = st.parameters.attr("copy")();
  for (const auto& [name, description] : py::dict(parameters)) {
    values[name] = suggest(trial, name, description);
  }
  py::dict before = st.parameters;
  st.parameters = values;
  // Without reach, disk caching is off for the search and every component reruns anyway.
  if (st.parameter_reach) invalidate_for_new_parameters(self, st, before);

  py::object target = run_components(self, py::make_tuple(component_id), show, true);
  if (st.interrupted) py_values::raise(PyExc_KeyboardInterrupt, "");

  // A target that failed, or never started, has no value of its own: what the run returned is
  // then another component's result.
  const bool produced = !target.is_none() && comp::successful(component(st, component_id));
  std::vector<search::TargetValue> kinds;
  if (produced) {
    for (const py::handle& element :
         PyTuple_Check(target.ptr()) ? target : py::object(py::make_tuple(target))) {
      kinds.push_back(target_value(element));
      if (kinds.back() != search::TargetValue::number) break;
    }
  }
  const auto error =
      search::target_error(produced, kinds, py::len(trial.attr("study").attr("directions")));
  if (error) throw py::value_error(*error);
  return target;
}

void optimize_parameters(const py::object& self, const py::str& component_id,
                         const std::optional<py::str>& opt_method, const py::object& directions,
                         const py::object& parameters, const py::object& n_trials,
                         const py::object& early_stopping_rounds, bool quiet_trials) {
  if (!py::bool_(parameters)) return report(self, "HPO_INPUT_ERROR", kNoParameters);
  PipelineState& st = state(self);
  py::object optimizer =
      py_values::kept("orvane_core.executors.parameters_optimizer.optimizer:OrvaneHPOptimizer")(
          opt_method, directions, parameters, early_stopping_rounds, st.callback);
  st.optimizer = optimizer;
  optimizer.attr("create_study")();
  // Derived before the disk cache is paused: a last expression that does not parse leaves the
  // components as they were.
  py::object names =
      py_values::kept("orvane_core.executors.component_executors.utils:objective_names")(
          component(st, component_id).attr("last_expr"));
  {
    // With parameter reach, the disk caches of the components the tuned parameters reach are set
    // aside (not deleted) and those write nothing for trial results; the others keep serving
    // their caches across trials. Without it, disk caching is off for the search. Either is
    // undone however the search ends, on the components themselves: a graph update during the
    // search may have replaced the node map.
    std::vector<py::object> switched_off;
    if (st.parameter_reach) {
      std::vector<std::string> tuned;
      for (const py::handle& name : parameters) tuned.push_back(text_of(name));
      st.search_reach = pause_reach(self, st, tuned);
    } else {
      for (const auto& item : st.nodes) {
        if (!comp::uses_diskcache(item.second)) continue;
        switched_off.push_back(py::reinterpret_borrow<py::object>(item.second));
        comp::set_uses_diskcache(item.second, false);
      }
    }
    py_values::OnExit restore("switching a component's disk cache back on", [&] {
      st.search_reach.clear();
      for (const py::object& c : switched_off) {
        py_values::OnExit one("switching a component's disk cache back on",
                              [&] { comp::set_uses_diskcache(c, true); });
      }
    });
    py::cpp_function objective([=](py::object trial) {
      return run_trial(self, trial, component_id, parameters, !quiet_trials);
    });
    try {
      optimizer.attr("optimize")(objective, n_trials, names);
    } catch (py::error_already_set& e) {
      const bool interrupt = e.matches(PyExc_KeyboardInterrupt);
      if (!interrupt && !e.matches(PyExc_Exception)) throw;
      const search::FailureReport failure =
          search::failure_report(interrupt, e.matches(PyExc_ValueError), py_values::utf8(e.value()),
                                 text_of(py::type::of(e.value()).attr("__name__")));
      report(self, failure.procedure, failure.message);
    }
  }
  run_summary(self);
}

}  // namespace

void register_optimization(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  pc::def(cls, "optimize_parameters", &optimize_parameters, py::arg("component_id"),
          py::arg("opt_method"), py::arg("directions"), py::arg("parameters"), py::arg("n_trials"),
          py::arg("early_stopping_rounds") = py::none(), py::kw_only(),
          py::arg("quiet_trials") = false, "Tune pipeline parameters.");
  // One trial of a search, as its objective runs it; callers may run a trial themselves.
  pc::def(
      cls, "_parameter_optimizing_task",
      [](const py::object& self, const py::object& trial, const py::str& id,
         const py::object& parameters) { return run_trial(self, trial, id, parameters, true); },
      py::arg("trial"), py::arg("component_id"), py::arg("parameters"));
}

}  // namespace orvane::pipeline
