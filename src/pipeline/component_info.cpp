// Pipeline members: a component's in/out record from its parents, and the package list.
#include <optional>

#include "common/py_values.hpp"
#include "common/pyclass.hpp"
#include "core/import_line.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

using orvane::pyclass::intern;

void update_info(const py::object& self, const py::handle& id) {
  const PipelineState& st = state(self);
  py::object target = component(st, id);
  if (!comp::successful(target)) return;

  py::dict inputs;  // each name once, in the order the parents offer them
  py::list imports;
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  for (std::size_t p : graph.dag.predecessors(node_of(graph, id))) {
    py::object parent = component(st, graph.id(p));
    if (!comp::successful(parent)) continue;
    for (const py::handle& name : parent.attr(intern("non_module_outputs"))) inputs[name] = true;
    py::object statements = parent.attr(intern("module_statements"));
    for (const py::handle& symbol : statements) {
      imports.append(py_values::from_utf8(
          import_line(py_values::utf8(symbol), py_values::utf8(statements[symbol]))));
    }
  }
  target.attr(intern("in_and_out")) = rt().inout_record(
      py::arg("inputs") = py::list(inputs),
      py::arg("outputs") = py::list(target.attr(intern("non_module_outputs"))),
      py::arg("imports") = imports, py::arg("summary") = target.attr(intern("outputs_summary")));
}

void register_component_info(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  pc::def(
      cls, "update_component_info",
      [](const py::object& self, const std::optional<py::str>& id) {
        update_info(self, py_values::or_none(id));
      },
      py::arg("component_id"));
  // The setter stores a copy: the stored requirements must not follow the caller's list.
  pc::def_property(
      cls, "python_requirements", [](const PipelineState& st) { return st.requirements; },
      [](PipelineState& st, const py::object& packages) {
        st.requirements = py_values::list_copy(packages);
      },
      "Python packages installed in the kernel, as requirement lines.", py::arg("packages"));
}

}  // namespace orvane::pipeline
