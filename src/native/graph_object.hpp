// The pipeline graph as a Python object: the native graph plus its node ids as Python text.
//
// Registered in the `_native` module as `Graph`; the graph base builds one per graph change and
// the pipeline engine casts the same object (py::cast<const GraphObject&>) to query it natively.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/graph.hpp"

namespace orvane {

namespace py = pybind11;

struct GraphObject {
  graph::Dag dag;
  std::vector<py::object> ids;  // the node ids by native index, as the graph was given them

  // Index of a node id; an id that is not a node raises the graph library's own error
  // (networkx.NetworkXError), with its text, so callers see the same failure either way.
  std::size_t index(const py::handle& id) const {
    if (PyUnicode_Check(id.ptr())) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(id.ptr(), &size);
      if (text == nullptr) throw py::error_already_set();
      const long found = dag.index_of(std::string(text, static_cast<std::size_t>(size)));
      if (found >= 0) return static_cast<std::size_t>(found);
    } else if (PyErr_Occurred()) {
      throw py::error_already_set();
    }
    const std::string message = "The node " + std::string(py::str(id)) + " is not in the digraph.";
    py::object error = py::module_::import("networkx").attr("NetworkXError");
    PyErr_SetString(error.ptr(), message.c_str());
    throw py::error_already_set();
  }

  const py::object& id(std::size_t node) const { return ids.at(node); }
};

}  // namespace orvane
