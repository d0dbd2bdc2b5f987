// The parameter optimizer's native class: one optuna study, its sampler, callbacks and results.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane::optimizer {

namespace py = pybind11;

// The grid of each parameter, as lists of floats in the description's order, and each grid's
// size (a parameter whose grid is empty cannot be searched).
struct SearchSpace {
  py::dict grid;
  std::vector<std::pair<std::string, std::size_t>> sizes;
  std::string refused;  // why the grid is too large to search (then left unbuilt); else empty
};
SearchSpace build_search_space(const py::handle& parameters);

class HPOptimizer {
 public:
  HPOptimizer(const std::optional<py::str>& opt_method, const py::object& directions,
              const py::object& parameters, const py::object& early_stopping_rounds,
              const py::object& pipeline_callback);

  void create_study();
  void optimize(const py::object& target_func, const py::object& n_trials,
                const py::object& target_names);

  std::size_t objectives() const { return maximize_.size(); }
  py::list directions() const;

  py::object sampler;
  py::object study = py::none();
  py::list best_params, best_values, optimization_log;
  py::dict best_trials;
  py::object pipeline_callback, tracemark_callback, early_stopping_callback = py::none();

 private:
  void collect_best(const py::list& best);
  py::list importances();
  void report(const py::dict& data) const;

  std::vector<bool> maximize_;
  std::vector<std::pair<std::string, std::size_t>> grid_sizes_;  // empty unless grid search
  std::string grid_refused_;  // why the grid is too large to search; empty otherwise
};

void register_optimizer(py::module_& m);

}  // namespace orvane::optimizer
