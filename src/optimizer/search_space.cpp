// Grid search spaces built from parameter descriptions.
#include "core/search_space.hpp"

#include <string>

#include "optimizer/optimizer.hpp"

namespace orvane::optimizer {

namespace {

double as_float(const py::handle& value) {
  // float(value): numbers and numeric text; other values raise float's own errors.
  py::object converted = py::reinterpret_steal<py::object>(PyNumber_Float(value.ptr()));
  if (!converted) throw py::error_already_set();
  return PyFloat_AS_DOUBLE(converted.ptr());
}

[[noreturn]] void raise_from(PyObject* type, const std::string& text,
                             py::error_already_set& cause) {
  cause.restore();
  py::raise_from(type, text.c_str());
  throw py::error_already_set();
}

}  // namespace

SearchSpace build_search_space(const py::handle& parameters) {
  SearchSpace space;
  double points = 1;  // of the grid over the parameters so far
  for (const py::handle& item : parameters.attr("items")()) {
    py::object name = item[py::int_(0)];
    py::object description = item[py::int_(1)];
    double interval = 0, low = 0, high = 0;
    try {
      interval = as_float(description[py::str("interval")]);
      low = as_float(description[py::str("low")]);
      high = as_float(description[py::str("high")]);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_KeyError)) throw;
      raise_from(PyExc_ValueError,
                 "The information of parameter '" + std::string(py::str(name)) +
                     "' to get search space for grid search is not proper.",
                 e);
    }
    std::vector<double> values;
    try {
      // Counted before anything is built: a tiny interval would otherwise fill the memory.
      points *= search::grid_count(low, high, interval);
      if (points > search::kMaxGridPoints && space.refused.empty()) {
        space.refused = search::oversized_grid_message(std::string(py::str(name)), points);
      }
      if (!space.refused.empty()) {
        space.sizes.emplace_back(py::str(name), 0);
        space.grid[name] = py::list();
        continue;
      }
      values = search::grid_values(low, high, interval);
    } catch (const search::ZeroStep& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
      throw py::error_already_set();
    } catch (const search::BadLength& e) {
      throw py::value_error(e.what());
    }
    py::list grid;
    for (double v : values) grid.append(py::float_(v));
    space.sizes.emplace_back(py::str(name), values.size());
    space.grid[name] = grid;
  }
  return space;
}

}  // namespace orvane::optimizer
