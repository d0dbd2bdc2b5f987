// Pipeline members: run planning, synchronous execution and reporting to the front end.
#include <optional>
#include <string>
#include <vector>

#include "common/pyclass.hpp"
#include "core/graph.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

using orvane::pyclass::intern;

// The planning graph of one pipeline: a native copy of nx_graph, rebuilt only when the graph's
// structure changes (the graph base bumps _graph_version) or nx_graph is replaced.
struct NativeGraph {
  graph::Dag dag;
  std::vector<py::object> ids;  // the node objects of nx_graph, by native index
  py::object source;            // the nx_graph this copy was made from
  py::object version;
};

// The cached planning graph, as the Python object that owns it: callers keep it alive while they
// use the graph, even if a callback replaces the cache meanwhile.
py::object native_graph(const py::object& self) {
  py::object nx_graph = self.attr(intern("nx_graph"));
  py::object version = py::getattr(self, intern("_graph_version"), py::int_(0));
  py::dict state = self.attr("__dict__");
  py::handle cached = PyDict_GetItemWithError(state.ptr(), intern("_native_graph").ptr());
  if (cached) {
    const auto& graph = cached.cast<const NativeGraph&>();
    if (graph.source.is(nx_graph) && graph.version.equal(version) &&
        graph.dag.size() == py::len(nx_graph)) {
      return py::reinterpret_borrow<py::object>(cached);
    }
  } else if (PyErr_Occurred()) {
    throw py::error_already_set();
  }

  NativeGraph fresh;
  fresh.source = nx_graph;
  fresh.version = version;
  for (const py::handle& node : nx_graph) {
    if (!PyUnicode_Check(node.ptr())) {
      throw py::type_error("component ids must be text, got " +
                           std::string(py::str(py::repr(node))));
    }
    fresh.dag.add_node(node.cast<std::string>());
    fresh.ids.push_back(py::reinterpret_borrow<py::object>(node));
  }
  for (const py::handle& edge : nx_graph.attr("edges")) {
    auto pair = py::reinterpret_borrow<py::tuple>(edge);
    const auto parent = fresh.dag.index_of(pair[0].cast<std::string>());
    const auto child = fresh.dag.index_of(pair[1].cast<std::string>());
    fresh.dag.add_edge(static_cast<std::size_t>(parent), static_cast<std::size_t>(child));
  }
  py::object holder = py::cast(std::move(fresh));
  state[intern("_native_graph")] = holder;
  return holder;
}

[[noreturn]] void raise_not_in_graph(const py::handle& id) {
  // The same error (and text) a graph query of networkx gives for an unknown node.
  std::string text = "The node " + std::string(py::str(id)) + " is not in the digraph.";
  PyErr_SetString(rt().graph_error.ptr(), text.c_str());
  throw py::error_already_set();
}

std::size_t node_index(const NativeGraph& graph, const py::handle& id) {
  if (!id.is_none() && !PyUnicode_Check(id.ptr())) {
    throw py::type_error("component ids must be text, got " + std::string(py::str(py::repr(id))));
  }
  const long index = id.is_none() ? -1 : graph.dag.index_of(id.cast<std::string>());
  if (index < 0) raise_not_in_graph(id);
  return static_cast<std::size_t>(index);
}

// Makes `exc` the exception being handled while the component records it, as inside an
// `except` block, so that the component sees it through sys.exc_info().
class HandledException {
 public:
  explicit HandledException(const py::handle& exc) : saved_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc.ptr());
  }
  ~HandledException() {
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
  }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  PyObject* saved_;
};

bool uses_diskcache(const py::handle& component) {
  return py::bool_(component.attr(intern("use_diskcache")));
}

bool is_status(const py::handle& component, const py::handle& status) {
  return same(component.attr(intern("status")), status);
}

bool disk_status_is(const py::handle& component, const py::handle& status) {
  return same(component.attr(intern("diskcache_status")), status);
}

// True when a write of the component is pending. The stored status is read: the public one
// reports CACHED whenever a cache is attached, which hides a rewrite queued for a reused
// component; such a rewrite must be cancelled like any other when the component is invalidated.
bool write_pending(const py::handle& component) {
  py::object stored = py::getattr(component, intern("_diskcache_status"), py::none());
  if (stored.is_none()) stored = component.attr(intern("diskcache_status"));
  return same(stored, rt().disk_updating);
}

bool need_to_rerun_component(const py::object& component, const py::object& excludes) {
  py::object status = component.attr(intern("status"));
  const bool successful = same(status, rt().status_successful);
  if (!excludes.is_none() && successful) {
    const int found = PySequence_Contains(excludes.ptr(), component.attr(intern("id")).ptr());
    if (found < 0) throw py::error_already_set();
    if (found) return false;
  }
  if (!successful) return true;
  if (!uses_diskcache(component)) return true;
  py::object disk = component.attr(intern("diskcache_status"));
  return same(disk, rt().disk_uncached) || same(disk, rt().disk_failed);
}

void run_callback(const py::object& self, const py::object& data) {
  py::object callback = self.attr(intern("_callback"));
  if (!py::bool_(callback)) return;
  if (py::bool_(data)) {
    callback(data);
    return;
  }
  py::object summary = summary_mapping(self);
  callback(rt().callback_record(py::arg("procedure") = rt().procedure_updated,
                                py::arg("status") = rt().callback_successful, py::arg("msg") = "",
                                py::arg("successful") = summary, py::arg("failed") = py::dict()));
}

void summary(const py::object& self) { self.attr(intern("run_callback"))(); }

void ensure_writer(const py::object& self) {
  py::object writer = self.attr(intern("_diskcache_writer"));
  if (py::bool_(writer.attr("is_alive")())) return;
  try {
    writer.attr("close")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::object cls = py::module_::import("orvane_core.executors").attr("OrvaneDiskcacheWriter");
    writer = cls(py::arg("identifier") = self.attr("id"),
                 py::arg("ipykernel_connection") = self.attr(intern("_ipykernel_connection")));
    self.attr(intern("_diskcache_writer")) = writer;
  }
  writer.attr("open")();
  writer.attr("start")();
}

void cancel_write(const py::object& self, const py::handle& id) {
  self.attr(intern("_put_diskcache_task"))(py::arg("task_type") = "cancel",
                                           py::arg("component_id") = id);
}

// Marks for rerun every planned component that needs it, together with its whole downstream.
void invalidate(const py::object& self, const py::object& nodes, const NativeGraph& graph,
                const std::vector<std::size_t>& plan) {
  for (std::size_t c : plan) {
    py::object component = nodes[graph.ids[c]];
    if (is_status(component, rt().status_invalid)) continue;
    if (!need_to_rerun_component(component, py::none())) continue;
    std::vector<std::size_t> affected{c};
    for (std::size_t d : graph.dag.descendants(c)) affected.push_back(d);
    for (std::size_t d : affected) {
      py::object target = nodes[graph.ids[d]];
      if (uses_diskcache(target) && write_pending(target)) {
        cancel_write(self, graph.ids[d]);
      }
      target.attr(intern("status")) = rt().status_invalid;
    }
  }
}

// Records an exception that escaped a component's run in that component.
void record_failure(const py::object& self, const py::object& nodes, const py::handle& id,
                    py::error_already_set& error, bool send_to_front) {
  py::object exc = error.value();
  if (error.trace() && py::getattr(exc, "__traceback__", py::none()).is_none()) {
    PyException_SetTraceback(exc.ptr(), error.trace().ptr());
  }
  py::object component = nodes[id];
  {
    HandledException handled(exc);
    component.attr("handle_error")(exc);
  }
  if (send_to_front) {
    component.attr("show_captured")(py::arg("shell") = self.attr(intern("_ipython_shell")));
  }
  if (!error.matches(PyExc_KeyboardInterrupt)) return;
  // An interrupt abandons the whole run: no pending write may complete for it.
  for (const py::handle& other_id : nodes) {
    py::object other = nodes[other_id];
    if (uses_diskcache(other) && write_pending(other)) {
      cancel_write(self, other_id);
      other.attr(intern("diskcache_status")) = rt().disk_failed;
    }
  }
}

// True when the component's in-memory cache is known to hold nothing. Clearing it again would
// change nothing but still mark the component's summary entry for rebuilding, which the final
// report of a large pipeline would then pay for every component.
bool memory_cache_empty(const py::handle& component) {
  py::object cache = py::getattr(component, intern("_in_memory_cache"), py::none());
  if (cache.is_none() || !py::hasattr(cache, "is_empty")) return false;
  return py::bool_(cache.attr("is_empty")());
}

void free_parents(const py::object& self, const py::object& nodes, const py::handle& id) {
  py::list parents(self.attr(intern("nx_graph")).attr("predecessors")(id));
  for (const py::handle& parent_id : parents) {
    py::object parent = nodes[parent_id];
    const bool children_done = py::bool_(
        self.attr(intern("_check_all_children_successful"))(py::arg("component_id") = parent_id));
    if (!children_done) continue;
    // A parent whose disk write has not completed yet keeps the only copy of its results.
    if (uses_diskcache(parent) && !disk_status_is(parent, rt().disk_cached)) continue;
    parent.attr("clear_in_memory_cache")();
  }
}

py::object execute_components(const py::object& self, const py::object& component_ids,
                              const py::object& send_to_front_arg,
                              const py::object& optimize_memory_arg) {
  const bool send_to_front = py::bool_(send_to_front_arg);
  const bool optimize_memory = py::bool_(optimize_memory_arg);
  ensure_writer(self);

  py::object graph_holder = native_graph(self);
  const auto& graph = graph_holder.cast<const NativeGraph&>();
  std::vector<std::size_t> requested;
  for (const py::handle& id : py::iter(component_ids)) {
    requested.push_back(node_index(graph, id));
  }
  const std::vector<std::size_t> plan = graph.dag.execution_plan(requested);
  // Planning is done; keep the node objects, as the graph may be replaced by a callback.
  std::vector<py::object> order;
  order.reserve(plan.size());
  for (std::size_t c : plan) order.push_back(graph.ids[c]);

  py::object nodes = self.attr(intern("nodes"));
  invalidate(self, nodes, graph, plan);
  summary(self);

  py::object shell = self.attr(intern("_ipython_shell"));
  py::object last_output = py::none();
  for (const py::object& id : order) {
    py::object component = nodes[id];
    try {
      last_output = self.attr(intern("_execute_component"))(py::arg("component_id") = id);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
      record_failure(self, nodes, id, e, send_to_front);
      break;
    }
    if (send_to_front) component.attr("show_captured")(py::arg("shell") = shell);
    if (is_status(component, rt().status_failed)) break;
    if (send_to_front) component.attr("show_last_output")(py::arg("shell") = shell);
    if (py::bool_(shell)) shell.attr("push")(component.attr(intern("outputs")));
    summary(self);
    if (uses_diskcache(component)) {
      self.attr(intern("_put_diskcache_task"))(py::arg("task_type") = "todo",
                                               py::arg("component_id") = id);
    }
    self.attr(intern("_get_diskcache_messages"))();
    if (optimize_memory) free_parents(self, nodes, id);
  }

  if (optimize_memory) {
    for (const py::handle& id : nodes) {
      py::object component = nodes[id];
      if (uses_diskcache(component)) continue;
      // A failed component's cache holds only its error record, which the front end shows.
      if (is_status(component, rt().status_failed)) continue;
      if (memory_cache_empty(component)) continue;
      component.attr("clear_in_memory_cache")();
    }
  }
  py::object freeze = py::module_::import("orvane_core.common.utils").attr("get_pip_freeze");
  py::list skip;
  skip.append("orvane");
  skip.append("orvane-git");
  self.attr("python_requirements") =
      freeze(py::arg("exclude_editable") = true, py::arg("skip") = skip);
  summary(self);
  return last_output;
}

py::object execute_component(const py::object& self, const std::optional<py::str>& component_id,
                             const py::object& send_to_front, const py::object& optimize_memory) {
  py::list ids;
  ids.append(component_id ? py::object(*component_id) : py::object(py::none()));
  return self.attr("execute_components")(py::arg("component_ids") = ids,
                                         py::arg("send_to_front") = send_to_front,
                                         py::arg("optimize_memory") = optimize_memory);
}

py::object execute_all(const py::object& self, const py::object& send_to_front,
                       const py::object& optimize_memory) {
  return self.attr("execute_components")(py::arg("component_ids") = self.attr(intern("nodes")),
                                         py::arg("send_to_front") = send_to_front,
                                         py::arg("optimize_memory") = optimize_memory);
}

std::string text(const py::handle& value) { return std::string(py::str(value)); }

py::object execute_one(const py::object& self, const std::optional<py::str>& component_id,
                       const py::object& process_pool) {
  py::object id = component_id ? py::object(*component_id) : py::object(py::none());
  py::object nodes = self.attr(intern("nodes"));
  py::object component = nodes[id];
  if (!need_to_rerun_component(component, py::none())) {
    return component.attr(intern("last_output"));
  }
  component.attr(intern("status")) = rt().status_running;
  summary(self);

  py::dict module_statements;
  py::dict non_module_inputs;
  py::list parents(self.attr(intern("nx_graph")).attr("predecessors")(id));
  for (const py::handle& parent_id : parents) {
    py::object parent = nodes[parent_id];
    if (!is_status(parent, rt().status_successful)) {
      throw std::runtime_error("Please execute the parent component [" +
                               text(parent.attr(intern("name"))) + "] first.");
    }
    py::object statements = parent.attr(intern("module_statements"));
    for (const py::handle& symbol : statements) {
      py::object statement = statements[symbol];
      if (module_statements.contains(symbol) &&
          py::object(module_statements[symbol]).not_equal(statement)) {
        throw py::value_error("'" + text(parent.attr(intern("name"))) + "/" + text(symbol) +
                              "' is " + text(statement) + ", which differs from '" +
                              text(module_statements[symbol]) + "'.");
      }
    }
    py::object values = parent.attr(intern("non_module_outputs"));
    for (const py::handle& symbol : values) {
      if (!non_module_inputs.contains(symbol)) continue;
      py::object held = non_module_inputs[symbol];
      py::object value = values[symbol];
      // The same object serialises to the same bytes; only distinct objects are compared.
      if (held.is(value)) continue;
      if (rt().pickle_dumps(held).not_equal(rt().pickle_dumps(value))) {
        throw py::value_error(
            "Value of the object '" + text(symbol) +
            "' in this component cannot be determined since it inherits different values from "
            "different parents. Please change the pipeline structure or resolve value "
            "conflicts in the parent components.");
      }
    }
    module_statements.attr("update")(statements);
    non_module_inputs.attr("update")(values);
  }

  py::object last_output = py::none();
  py::object parameters = self.attr("parameters");
  if (py::bool_(process_pool)) {
    component.attr("execute_async")(
        py::arg("process_pool") = process_pool, py::arg("module_statements") = module_statements,
        py::arg("non_module_inputs") = non_module_inputs, py::arg("parameters") = parameters);
  } else {
    last_output = component.attr("execute")(py::arg("module_statements") = module_statements,
                                            py::arg("non_module_inputs") = non_module_inputs,
                                            py::arg("parameters") = parameters,
                                            py::arg("shell") = self.attr(intern("_ipython_shell")));
  }
  summary(self);
  return last_output;
}

bool check_all_children_successful(const py::object& self,
                                   const std::optional<py::str>& component_id) {
  py::object id = component_id ? py::object(*component_id) : py::object(py::none());
  py::object nodes = self.attr(intern("nodes"));
  for (const py::handle& child : self.attr(intern("nx_graph")).attr("successors")(id)) {
    if (!is_status(nodes[child], rt().status_successful)) return false;
  }
  return true;
}

}  // namespace

void register_execution(py::module_& m, const py::object& cls) {
  namespace pc = orvane::pyclass;
  py::class_<NativeGraph>(m, "_NativeGraph", "Planning copy of a pipeline's graph.");

  m.def("need_to_rerun_component", &need_to_rerun_component, py::arg("component"),
        py::arg("excludes") = py::none(), "Check if the component needs to be rerun.");
  pc::def(cls, "run_callback", &run_callback, py::arg("data") = py::none(),
          "Run callback functions.");
  pc::def(cls, "execute_component", &execute_component, py::arg("component_id"),
          py::arg("send_to_front") = true, py::arg("optimize_memory") = true,
          "Execute a component, including parent components.");
  pc::def(cls, "execute_components", &execute_components, py::arg("component_ids"),
          py::arg("send_to_front") = true, py::arg("optimize_memory") = true,
          "Execute components, including parent components.");
  pc::def(cls, "execute_all", &execute_all, py::arg("send_to_front") = true,
          py::arg("optimize_memory") = true, "Execute all components.");
  pc::def(cls, "_execute_component", &execute_one, py::arg("component_id"),
          py::arg("process_pool") = py::none(), "Execute component.");
  pc::def(cls, "_check_all_children_successful", &check_all_children_successful,
          py::arg("component_id"));
}

}  // namespace orvane::pipeline
