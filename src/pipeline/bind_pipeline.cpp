// Module definition of the pipeline engine: the native state and OrvanePipeline built on it.
#include <initializer_list>
#include <utility>

#include "common/fork_guard.hpp"
#include "common/py_values.hpp"
#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace py = pybind11;

namespace orvane::pipeline {

// The native state holds Python values, so it takes part in garbage collection: a callback or a
// value that refers back to its pipeline must not keep both alive for ever. Clearing (only ever
// done to an unreachable cycle, after the finaliser has closed the writer) drops every value.
static int traverse_state(PipelineState& st, visitproc visit, void* arg) {
  for (const py::object* member : std::initializer_list<const py::object*>{
           &st.id, &st.nodes, &st.graph, &st.callback, &st.shell, &st.parameters, &st.requirements,
           &st.cache_dir, &st.connection, &st.writer, &st.optimizer, &st.reported_components,
           &st.reported_edges, &st.reported_requirements}) {
    Py_VISIT(member->ptr());
  }
  return 0;
}

static void clear_state(PipelineState& st) {
  // Swapped for an empty state first: what dropping the values runs sees no half-cleared one.
  PipelineState cleared;
  std::swap(st, cleared);
}

static void set_graph(PipelineState& st, const py::object& value) {
  st.dag = value.is_none() ? nullptr : &py::cast<const GraphObject&>(value);
  st.graph = value;
}

}  // namespace orvane::pipeline

PYBIND11_MODULE(pipeline, m) {
  using namespace orvane::pipeline;
  orvane::fork_guard::loaded_pid();
  m.doc() = "The pipeline engine.";
  // Docstrings are the product's own texts, without generated signature lines.
  py::options options;
  options.disable_function_signatures();
  py::class_<PipelineState> native(
      m, "_PipelineState",
      py::custom_type_setup(
          &orvane::pyclass::gc_type_setup<PipelineState, traverse_state, clear_state>),
      "Native state of a pipeline.");
  using S = PipelineState;
  native.def(py::init<>());
  native.def_readwrite("id", &S::id, "Identifier of the pipeline.");
  native.def_readwrite("nodes", &S::nodes, "Components by id.");
  native.def_readwrite("_graph_version", &S::graph_version,
                       "Grows with every change of the graph.");
  native.def_property(
      "_graph", [](const PipelineState& st) { return st.graph; }, &set_graph, "The native graph.");
  native.def_readwrite("_callback", &S::callback, "Front-end callback.");
  native.def_readwrite("_ipython_shell", &S::shell, "Shell in which components run.");
  native.def_readwrite("_parameters", &S::parameters, "Pipeline parameters by name.");
  native.def_readwrite("_python_requirements", &S::requirements, "Installed packages.");
  // The setter stores a copy: the stored requirements must not follow the caller's list.
  native.def_property(
      "python_requirements", [](const PipelineState& st) { return st.requirements; },
      [](PipelineState& st, const py::object& packages) {
        st.requirements = orvane::py_values::list_copy(packages);
      },
      "Python packages installed in the kernel, as requirement lines.");
  native.def_readwrite("_diskcache_dir", &S::cache_dir, "Disk-cache directory.");
  native.def_readwrite("_ipykernel_connection", &S::connection, "Kernel connection file.");
  native.def_readwrite("_diskcache_writer", &S::writer, "Background disk-cache writer.");
  native.def_readwrite("_hpoptimizer", &S::optimizer, "Optimizer of the running optimization.");
  py::object cls = orvane::pyclass::make_class(m, "OrvanePipeline",
                                               py::make_tuple(native, rt().dag_base), "Pipeline.");
  register_lifecycle(m, cls);
  register_execution(m, cls);
  register_diskcache_channel(m, cls);
  register_cache_commands(m, cls);
  register_optimization(m, cls);
  register_reach(m, cls);
}
