// Module definition of `optimizer`: get_search_space and OrvaneHPOptimizer.
#include <pybind11/stl.h>

#include "optimizer/optimizer.hpp"

namespace py = pybind11;
using orvane::optimizer::HPOptimizer;

namespace {

py::list copy_list(const py::list& list) {
  return py::reinterpret_steal<py::list>(PySequence_List(list.ptr()));
}

}  // namespace

PYBIND11_MODULE(optimizer, m) {
  m.doc() = "The parameter optimizer.";
  py::options options;
  options.disable_function_signatures();

  m.def(
      "get_search_space",
      [](const py::object& parameters) {
        return orvane::optimizer::build_search_space(parameters).grid;
      },
      py::arg("parameters"),
      "Get search space of each parameter for grid search from parameters info dictionary");

  py::class_<HPOptimizer>(m, "OrvaneHPOptimizer", "Parameter optimizing manager.")
      .def(py::init<const std::optional<py::str>&, const py::object&, const py::object&,
                    const py::object&, const py::object&>(),
           py::arg("opt_method"), py::arg("directions"), py::arg("parameters") = py::none(),
           py::arg("early_stopping_rounds") = py::none(), py::arg("pipeline_callback") = py::none())
      .def("create_study", &HPOptimizer::create_study, "Create study")
      .def("optimize", &HPOptimizer::optimize, py::arg("target_func"), py::arg("n_trials"),
           py::arg("target_names"), "Perform parameter optimizing")
      .def_property_readonly(
          "best_params", [](const HPOptimizer& o) { return copy_list(o.best_params); },
          "Getter of the best parameters")
      .def_property_readonly(
          "best_values", [](const HPOptimizer& o) { return copy_list(o.best_values); },
          "Getter of the best value")
      .def_property_readonly(
          "best_trials",
          [](const HPOptimizer& o) {
            return py::reinterpret_steal<py::dict>(PyDict_Copy(o.best_trials.ptr()));
          },
          "Getter of the best trial information")
      .def_property_readonly(
          "optimization_log", [](const HPOptimizer& o) { return o.optimization_log; },
          "Getter of optimizing log")
      // Read-only views of the state, for inspection.
      .def_readonly("_sampler", &HPOptimizer::sampler)
      .def_property_readonly("_directions", &HPOptimizer::directions)
      .def_readonly("_study", &HPOptimizer::study)
      .def_readonly("_pipeline_callback", &HPOptimizer::pipeline_callback)
      .def_readonly("_tracemark_callback", &HPOptimizer::tracemark_callback)
      .def_readonly("_early_stopping_callback", &HPOptimizer::early_stopping_callback);
}
