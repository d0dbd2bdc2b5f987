// Module definition of the pipeline engine: the native state and OrvanePipeline built on it.
#include <type_traits>
#include <utility>

#include "common/fork_guard.hpp"
#include "common/py_values.hpp"
#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace py = pybind11;

namespace orvane::pipeline {

namespace {

// A property whose getter and setter read and replace one member; members holding a Python
// value can also be deleted, which resets them to None.
template <typename T>
void member(const py::object& cls, const char* name, T PipelineState::* field, const char* doc) {
  py::cpp_function fget([field](const PipelineState& st) -> T { return st.*field; }, py::name(name),
                        py::is_method(cls));
  py::cpp_function fset([field](PipelineState& st, T value) { st.*field = std::move(value); },
                        py::name(name), py::is_method(cls));
  py::object fdel = py::none();
  if constexpr (std::is_same_v<T, py::object>) {
    fdel = py::cpp_function([field](PipelineState& st) { st.*field = py::none(); }, py::name(name),
                            py::is_method(cls));
  }
  pyclass::set_property(cls, name, fget, fset, fdel, doc);
}

// The native state holds Python values, so it takes part in garbage collection: a callback or a
// value that refers back to its pipeline must not keep both alive for ever. Clearing (only ever
// done to an unreachable cycle, after the finaliser has closed the writer) drops every value.
int traverse_state(PipelineState& st, visitproc visit, void* arg) {
  for (const py::handle member :
       {py::handle(st.id), py::handle(st.nodes), py::handle(st.graph), py::handle(st.callback),
        py::handle(st.shell), py::handle(st.parameters), py::handle(st.requirements),
        py::handle(st.cache_dir), py::handle(st.connection), py::handle(st.writer),
        py::handle(st.optimizer), py::handle(st.reported_components), py::handle(st.reported_edges),
        py::handle(st.reported_requirements)}) {
    Py_VISIT(member.ptr());
  }
  for (const PipelineState::CompletedWrite& done : st.completed_writes) {
    Py_VISIT(done.component_id.ptr());
    Py_VISIT(done.folder.ptr());
  }
  return 0;
}

void clear_state(PipelineState& st) {
  st.dag = nullptr;
  st.completed_writes.clear();
  st.fingerprints = {};
  for (py::object* member :
       {&st.graph, &st.callback, &st.shell, &st.writer, &st.optimizer, &st.reported_components,
        &st.reported_edges, &st.reported_requirements}) {
    *member = py::none();
  }
  st.nodes = py::dict();
  st.parameters = py::dict();
  st.requirements = py::list();
}

void set_graph(PipelineState& st, const py::object& value) {
  st.dag = value.is_none() ? nullptr : &py::cast<const GraphObject&>(value);
  st.graph = value;
}

}  // namespace

const Runtime& rt() {
  static const Runtime runtime;
  return runtime;
}

PipelineState& state(const py::handle& self) { return py::cast<PipelineState&>(self); }

const GraphObject& graph(const PipelineState& st) {
  if (st.dag == nullptr) throw std::runtime_error("The pipeline has no graph.");
  return *st.dag;
}

py::object component(const PipelineState& st, const py::handle& id) {
  PyObject* found = PyDict_GetItemWithError(st.nodes.ptr(), id.ptr());
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, id.ptr());
  throw py::error_already_set();
}

static void register_state(const py::object& cls) {
  using S = PipelineState;
  member(cls, "id", &S::id, "Identifier of the pipeline.");
  member(cls, "nodes", &S::nodes, "Components by id.");
  member(cls, "_graph_version", &S::graph_version, "Grows with every change of the graph.");
  pyclass::def_property(
      cls, "_graph", [](const PipelineState& st) { return st.graph; }, &set_graph,
      "The native graph.");
  member(cls, "_callback", &S::callback, "Front-end callback.");
  member(cls, "_ipython_shell", &S::shell, "Shell in which components run.");
  member(cls, "_parameters", &S::parameters, "Pipeline parameters by name.");
  member(cls, "_python_requirements", &S::requirements, "Installed packages.");
  member(cls, "_diskcache_dir", &S::cache_dir, "Disk-cache directory.");
  member(cls, "_ipykernel_connection", &S::connection, "Kernel connection file.");
  member(cls, "_diskcache_writer", &S::writer, "Background disk-cache writer.");
  member(cls, "_hpoptimizer", &S::optimizer, "Optimizer of the running optimization.");
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
  native.def(py::init<>());
  py::object cls = orvane::pyclass::make_class(m, "OrvanePipeline",
                                               py::make_tuple(native, rt().dag_base), "Pipeline.");
  register_state(cls);
  register_lifecycle(m, cls);
  register_execution(m, cls);
  register_diskcache_channel(m, cls);
  register_cache_commands(m, cls);
  register_parameters(m, cls);
  register_component_info(m, cls);
  register_optimization(m, cls);
  register_async_execution(m, cls);
  register_reach(m, cls);
}
