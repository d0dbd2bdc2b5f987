// Python binding of the pipeline graph: built by the graph base, queried by the engine.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "core/pipeline_model.hpp"
#include "native/graph_object.hpp"

namespace py = pybind11;

namespace orvane {

namespace {

GraphObject build(const py::iterable& nodes, const py::iterable& edges) {
  GraphObject g;
  for (const py::handle& node : nodes) {
    if (!PyUnicode_Check(node.ptr())) {
      throw py::type_error("component ids must be text, got " + std::string(py::repr(node)));
    }
    const std::size_t before = g.dag.size();
    if (g.dag.add_node(node.cast<std::string>()) == before) {
      g.ids.push_back(py::reinterpret_borrow<py::object>(node));
    }
  }
  for (const py::handle& edge : edges) {
    auto pair = py::cast<std::pair<py::object, py::object>>(edge);
    const long parent =
        PyUnicode_Check(pair.first.ptr()) ? g.dag.index_of(pair.first.cast<std::string>()) : -1;
    const long child =
        PyUnicode_Check(pair.second.ptr()) ? g.dag.index_of(pair.second.cast<std::string>()) : -1;
    if (parent < 0 || child < 0) {
      throw py::value_error("the edge " + std::string(py::repr(edge)) +
                            " refers to an unknown node");
    }
    g.dag.add_edge(static_cast<std::size_t>(parent), static_cast<std::size_t>(child));
  }
  return g;
}

py::list ids_of(const GraphObject& g, const std::vector<std::size_t>& nodes) {
  py::list out(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) out[i] = g.id(nodes[i]);
  return out;
}

py::set id_set(const GraphObject& g, const std::vector<std::size_t>& nodes) {
  py::set out;
  for (std::size_t n : nodes) out.add(g.id(n));
  return out;
}

}  // namespace

void bind_graph(py::module_& m) {
  py::class_<GraphObject>(m, "Graph",
                          "A directed acyclic graph over component ids: nodes in the order given, "
                          "each node's parents and children in the order of its edges.")
      .def(py::init(&build), py::arg("nodes") = py::list(), py::arg("edges") = py::list())
      .def("__len__", [](const GraphObject& g) { return g.dag.size(); })
      .def("__contains__",
           [](const GraphObject& g, const py::handle& id) {
             return PyUnicode_Check(id.ptr()) && g.dag.index_of(id.cast<std::string>()) >= 0;
           })
      .def(
          "edit_invalidations",
          [](const GraphObject& g, const py::iterable& code_changed,
             const py::iterable& parents_changed, const py::iterable& fresh) {
            std::vector<std::size_t> code, parents;
            std::vector<bool> is_fresh(g.dag.size(), false);
            for (const py::handle& id : code_changed) code.push_back(g.index(id));
            for (const py::handle& id : parents_changed) parents.push_back(g.index(id));
            for (const py::handle& id : fresh) is_fresh[g.index(id)] = true;
            py::list out;
            for (const model::Invalidation& inv :
                 model::invalidate_for_edit(g.dag, code, parents, is_fresh)) {
              out.append(py::make_tuple(g.id(inv.node), model::cause_name(inv.reason->cause),
                                        inv.reason->parent));
            }
            return out;
          },
          py::arg("code_changed"), py::arg("parents_changed"), py::arg("fresh"),
          "After an edit: (id, cause, parent) of each kept component that is no longer current, "
          "in topological order.")
      .def_property_readonly(
          "nodes", [](const GraphObject& g) { return py::list(py::cast(g.ids)); },
          "The node ids, in order.")
      .def_property_readonly(
          "edges",
          [](const GraphObject& g) {
            py::list out;
            for (std::size_t v = 0; v < g.dag.size(); ++v) {
              for (std::size_t c : g.dag.successors(v))
                out.append(py::make_tuple(g.id(v), g.id(c)));
            }
            return out;
          },
          "The edges as (parent, child) pairs, by parent.")
      .def(
          "predecessors",
          [](const GraphObject& g, const py::handle& id) {
            return ids_of(g, g.dag.predecessors(g.index(id)));
          },
          py::arg("node"), "The node's parents, in the order their edges were added.")
      .def(
          "successors",
          [](const GraphObject& g, const py::handle& id) {
            return ids_of(g, g.dag.successors(g.index(id)));
          },
          py::arg("node"), "The node's children, in the order their edges were added.")
      .def(
          "ancestors",
          [](const GraphObject& g, const py::handle& id) {
            return id_set(g, g.dag.ancestors(g.index(id)));
          },
          py::arg("node"), "Every node that reaches the node, without the node itself.")
      .def(
          "descendants",
          [](const GraphObject& g, const py::handle& id) {
            return id_set(g, g.dag.descendants(g.index(id)));
          },
          py::arg("node"), "Every node reached from the node, without the node itself.")
      .def(
          "execution_plan",
          [](const GraphObject& g, const py::iterable& requested) {
            std::vector<std::size_t> nodes;
            for (const py::handle& id : requested) nodes.push_back(g.index(id));
            return ids_of(g, g.dag.execution_plan(nodes));
          },
          py::arg("requested"),
          "The requested nodes with all their ancestors, each once, parents first.")
      .def(
          "find_cycle", [](const GraphObject& g) { return ids_of(g, g.dag.find_cycle()); },
          "A cycle as a closed walk of node ids, or an empty list.");
}

}  // namespace orvane
