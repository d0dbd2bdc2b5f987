// OrvaneHPOptimizer: sampler and directions from the request, the study run, and its results.
#include "optimizer/optimizer.hpp"

#include <cmath>

#include "common/py_values.hpp"
#include "core/search_space.hpp"

namespace orvane::optimizer {

namespace {

using py_values::keep;

constexpr const char* kGridWithoutParameters = "In GridSearch , 'parameters' must not be NoneType.";
constexpr const char* kNoDirections = "Invalid input: no optimization directions";

// Silences warnings for a scope. optuna warns while it computes importances and plots (few
// trials, a target function that assumes minimizing); those remarks concern its own choices,
// which the caller has already made deliberately, and would otherwise reach the notebook.
class QuietWarnings {
 public:
  QuietWarnings() {
    py::module_ warnings = py::module_::import("warnings");
    manager_ = warnings.attr("catch_warnings")();
    manager_.attr("__enter__")();
    warnings.attr("simplefilter")("ignore");
  }
  ~QuietWarnings() {
    try {
      manager_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("restoring the warning filters");
    }
  }
  QuietWarnings(const QuietWarnings&) = delete;
  QuietWarnings& operator=(const QuietWarnings&) = delete;

 private:
  py::object manager_;
};

// optuna is imported on first use: importing it costs more than the rest of the package, and a
// pipeline that never searches its parameters should not pay for it. Leaked on purpose.
struct Optuna {
  py::handle create_study, grid_sampler, random_sampler, tpe_sampler, importances, pareto_plot,
      disable_default_handler;
};

const Optuna& optuna() {
  static const Optuna* o = [] {
    auto* made = new Optuna;
    // Its progress-bar dependency warns at import in a kernel without widgets; no bar is used.
    QuietWarnings quiet;
    py::module_ optuna = py::module_::import("optuna");
    py::module_ samplers = py::module_::import("optuna.samplers");
    made->create_study = keep(optuna.attr("create_study"));
    made->grid_sampler = keep(samplers.attr("GridSampler"));
    made->random_sampler = keep(samplers.attr("RandomSampler"));
    made->tpe_sampler = keep(samplers.attr("TPESampler"));
    made->importances =
        keep(py::module_::import("optuna.importance").attr("get_param_importances"));
    made->pareto_plot = keep(py::module_::import("optuna.visualization").attr("plot_pareto_front"));
    made->disable_default_handler =
        keep(py::module_::import("optuna.logging").attr("disable_default_handler"));
    return made;
  }();
  return *o;
}

struct Package {
  py::handle record, completed, successful, early_stopping, tracemark;
};

const Package& package() {
  static const Package* p = [] {
    auto* made = new Package;
    py::module_ misc = py::module_::import("orvane_core.misc");
    made->record = keep(
        py::module_::import("orvane_core.misc.models").attr("OrvanePipelineCallbackDataModel"));
    made->completed = keep(misc.attr("OrvanePipelineCallbackProcedure").attr("HPO_COMPLETED"));
    made->successful = keep(misc.attr("OrvanePipelineCallbackStatus").attr("SUCCESSFUL"));
    made->early_stopping =
        keep(py::module_::import("orvane_core.callbacks").attr("OrvaneHPOEarlyStoppingCallback"));
    made->tracemark =
        keep(py::module_::import("orvane_core.callbacks.parameters_optimizer.tracemark")
                 .attr("OrvaneHPOTracemarkCallback"));
    return made;
  }();
  return *p;
}

py::dict trial_entry(const py::handle& trial) {
  py::dict entry;
  entry["parameters"] = trial.attr("params");
  entry["values"] = trial.attr("values");
  return entry;
}

}  // namespace

HPOptimizer::HPOptimizer(const std::optional<py::str>& opt_method, const py::object& directions,
                         const py::object& parameters, const py::object& early_stopping_rounds,
                         const py::object& pipeline_callback_arg) {
  const Optuna& o = optuna();
  const std::string method = opt_method ? std::string(*opt_method) : std::string("None");
  if (method == "RandomSearch") {
    sampler = py::reinterpret_borrow<py::object>(o.random_sampler)();
  } else if (method == "TPESearch") {
    sampler = py::reinterpret_borrow<py::object>(o.tpe_sampler)();
  } else if (method == "GridSearch") {
    if (parameters.is_none()) throw py::value_error(kGridWithoutParameters);
    SearchSpace space = build_search_space(parameters);
    grid_sizes_ = std::move(space.sizes);
    grid_refused_ = std::move(space.refused);
    sampler =
        py::reinterpret_borrow<py::object>(o.grid_sampler)(py::arg("search_space") = space.grid);
  } else {
    throw py::value_error(search::unknown_method_message(method));
  }

  if (py::len(directions) == 0) throw py::value_error(kNoDirections);
  for (const py::handle& direction : directions) {
    const int truth = PyObject_IsTrue(direction.ptr());
    if (truth < 0) throw py::error_already_set();
    maximize_.push_back(truth == 1);
  }

  const Package& p = package();
  pipeline_callback = pipeline_callback_arg;
  tracemark_callback = p.tracemark(py::arg("pipeline_callback") = pipeline_callback);
  if (!early_stopping_rounds.is_none() && maximize_.size() == 1) {
    early_stopping_callback =
        p.early_stopping(py::arg("pipeline_callback") = pipeline_callback,
                         py::arg("early_stopping_rounds") = early_stopping_rounds,
                         py::arg("direction") = search::direction_word(maximize_[0]));
  }
  o.disable_default_handler();
}

py::list HPOptimizer::directions() const {
  py::list words;
  for (bool maximize : maximize_) words.append(search::direction_word(maximize));
  return words;
}

void HPOptimizer::create_study() {
  study = optuna().create_study(py::arg("sampler") = sampler, py::arg("directions") = directions());
}

void HPOptimizer::collect_best(const py::list& best) {
  py::list params, values;
  py::dict trials;
  for (const py::handle& trial : best) {
    params.append(trial.attr("params"));
    values.append(trial.attr("values"));
    trials[trial.attr("number")] = trial_entry(trial);
  }
  best_params = params;
  best_values = values;
  best_trials = trials;
}

py::list HPOptimizer::importances() {
  QuietWarnings quiet;
  py::list result;
  for (std::size_t i = 0; i < maximize_.size(); ++i) {
    // The importance evaluator favours low target values; a maximized objective is negated so
    // that its importances describe reaching high values.
    const double sign = maximize_[i] ? -1.0 : 1.0;
    py::cpp_function target([i, sign](const py::object& trial) {
      py::object value = trial.attr("values")[py::int_(i)];
      return sign * value.cast<double>();
    });
    py::object ranked = optuna().importances(study, py::arg("target") = target);
    result.append(py::dict(ranked));
  }
  return result;
}

void HPOptimizer::report(const py::dict& data) const {
  if (!py::bool_(pipeline_callback)) return;
  const Package& p = package();
  pipeline_callback(p.record(py::arg("procedure") = p.completed, py::arg("status") = p.successful,
                             py::arg("msg") = "", py::arg("successful") = data));
}

void HPOptimizer::optimize(const py::object& target_func, const py::object& n_trials,
                           const py::object& target_names) {
  if (study.is_none()) throw std::runtime_error("create_study() must be called before optimize()");
  if (!grid_refused_.empty()) throw py::value_error(grid_refused_);
  for (const auto& [name, size] : grid_sizes_) {
    if (size == 0) throw py::value_error(search::empty_grid_message(name));
  }
  py::list callbacks;
  callbacks.append(tracemark_callback);
  if (py::bool_(early_stopping_callback)) callbacks.append(early_stopping_callback);
  study.attr("optimize")(target_func, py::arg("n_trials") = n_trials,
                         py::arg("callbacks") = callbacks);

  collect_best(study.attr("best_trials"));

  py::list trials = study.attr("get_trials")(py::arg("deepcopy") = false);
  for (const py::handle& trial : trials) {
    py::object values = trial.attr("values");
    if (values.is_none()) continue;  // a failed trial has nothing that could diverge
    for (const py::handle& value : values) {
      if (std::isinf(value.cast<double>())) return;  // reported and stopped by the tracemark
    }
  }

  py::list log;
  for (const py::handle& trial : trials) log.append(trial_entry(trial));
  optimization_log = log;

  py::object figure = py::none();
  const std::size_t n = maximize_.size();
  if (n == 2 || n == 3) {
    // Names derived from the cell's last expression fit only when it lists one per objective.
    py::object names = target_names;
    if (names.is_none() || py::len(names) != n) names = py::none();
    QuietWarnings quiet;
    figure = optuna()
                 .pareto_plot(py::arg("study") = study, py::arg("target_names") = names)
                 .attr("to_dict")();
  }

  py::dict data;
  data["best_trials"] = py::reinterpret_steal<py::dict>(PyDict_Copy(best_trials.ptr()));
  data["pareto_front_plot"] = figure;
  data["parameter_importance"] = importances();
  report(data);
}

}  // namespace orvane::optimizer
