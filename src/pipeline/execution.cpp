// Pipeline members: run planning, synchronous execution and reporting to the front end.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

using orvane::pyclass::intern;

static bool need_to_rerun_component(const py::object& component, const py::object& excludes) {
  const model::NodeFacts facts = comp::facts(component);
  bool excluded = false;
  if (!excludes.is_none() && facts.status == comp::Status::Successful) {
    const int found = PySequence_Contains(excludes.ptr(), comp::native(component).id.ptr());
    if (found < 0) throw py::error_already_set();
    excluded = found != 0;
  }
  return model::needs_rerun(facts, excluded);
}

py::object run_components(const py::object& self, const py::handle& component_ids,
                          bool send_to_front, bool optimize_memory) {
  const Run run = open_run(self, component_ids, send_to_front, optimize_memory);
  py::object last_output = py::none();
  for (std::size_t c : run.plan) {
    py::object current = run.node(c);
    try {
      last_output = execute_step(self, run.graph.id(c));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
      record_failure(run, c, e);
      break;
    }
    run.show(current);
    if (comp::failed(current)) break;
    run.show(current, true);
    follow_up_success(run, c);
  }
  finish_run(run);
  return last_output;
}

// The step's own errors are raised as Python errors: a run records them in the component.
[[noreturn]] static void raise(PyObject* type, const std::string& text) {
  py::set_error(type, text.c_str());
  throw py::error_already_set();
}

py::object execute_step(const py::object& self, const std::optional<py::str>& component_id,
                        const py::object& process_pool) {
  py::object id = py::cast(component_id);
  PipelineState& st = state(self);
  py::object target = component(st, id);
  const std::string key = text_of(id);
  // A search trial's run of what the tuned parameters reach keeps no results: it does not
  // change where the component's results come from.
  const model::Decision decision =
      st.decisions.decide(key, comp::facts(target), st.search_reach.count(key) != 0);
  if (decision.outcome == model::Outcome::Reused) {
    // A cache that cannot be read back is a miss: the component runs again.
    if (guard::serve_or_miss(self, id, target)) {
      st.reused.insert(key);  // its write completes at once
      return comp::api().cache_get(comp::native(target), vostrel::Field::LastOutput);
    }
    st.decisions.cache_damaged(key);
  }
  comp::set_status(target, comp::Status::Running);
  run_summary(self);

  py::dict module_statements;
  py::dict non_module_inputs;
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  const std::size_t node = node_of(graph, id);
  if (auto unfinished = model::unfinished_parent(graph.dag, node, facts_of(st, graph))) {
    raise(PyExc_RuntimeError, model::unfinished_parent_message(
                                  text_of(comp::name(component(st, graph.id(*unfinished))))));
  }
  model::InputMerge merge;
  for (std::size_t p : graph.dag.predecessors(node)) {
    py::object parent = component(st, graph.id(p));  // held while its values are read
    const comp::ComponentNative& from = comp::native(parent);
    py::dict statements = comp::api().cache_get(from, vostrel::Field::ModuleStatements);
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& [symbol, text] : statements)
      lines.emplace_back(text_of(symbol), text_of(text));
    if (auto conflict = merge.add_statements(text_of(from.name), lines))
      raise(PyExc_ValueError, *conflict);
    py::dict values = comp::api().cache_get(from, vostrel::Field::NonModuleOutputs);
    for (const auto& [symbol, value] : values) {
      if (!merge.value_seen(text_of(symbol))) continue;
      // The same object serialises to the same bytes; only distinct objects are compared.
      py::object held = non_module_inputs[symbol];
      if (held.ptr() != value.ptr() && rt().pickle_dumps(held).not_equal(rt().pickle_dumps(value)))
        raise(PyExc_ValueError, model::InputMerge::value_conflict(text_of(symbol)));
    }
    module_statements.attr("update")(statements);
    non_module_inputs.attr("update")(values);
  }

  // Run here in the shell, or submitted to the pool, which gives no output back.
  py::object parameters = st.parameters.attr("copy")(), output = py::none();
  if (truthy(process_pool)) {
    comp::api().execute_async(target, process_pool, module_statements, non_module_inputs,
                              parameters);
  } else {
    output = comp::api().execute(comp::native(target), module_statements, non_module_inputs,
                                 parameters, st.shell);
  }
  run_summary(self);
  return output;
}

// Records an exception that escaped a component's run in that component.
void Run::show(const py::handle& c, bool last_output) const {
  const auto shows = last_output ? comp::api().show_last_output : comp::api().show_captured;
  if (send_to_front) shows(comp::native(c), st.shell);
}

void record_failure(const Run& run, std::size_t node, py::error_already_set& error) {
  py::object exc = error.value();
  if (error.trace() && py::getattr(exc, "__traceback__", py::none()).is_none()) {
    PyException_SetTraceback(exc.ptr(), error.trace().ptr());
  }
  py::object failed = run.node(node);
  {
    // `exc` is the exception being handled while the component records it, as inside an
    // `except` block, so that the component sees it through sys.exc_info().
    PyObject* saved = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
    py_values::OnExit restore("restoring the handled exception", [saved] {
      PyErr_SetHandledException(saved);
      Py_XDECREF(saved);
    });
    comp::api().handle_error(comp::native(failed), exc);
  }
  run.show(failed);
  if (!error.matches(PyExc_KeyboardInterrupt)) return;
  // An interrupt abandons the whole run: no pending write may complete for it.
  cancel_pending_writes(run.self);
}

Run open_run(const py::object& self, const py::handle& component_ids, bool send_to_front,
             bool optimize_memory) {
  PipelineState& st = state(self);
  if (!truthy(st.writer.attr("is_alive")())) restart_writer(st);
  // Reuse notes are the previous run's; fingerprints are remembered until the run ends.
  st.reused.clear();
  st.fingerprints = {};
  st.fingerprints.active = true;
  restore_paused(self, st);
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  std::vector<std::size_t> requested;
  for (const py::handle& id : py::iter(component_ids)) requested.push_back(node_of(graph, id));
  std::vector<std::size_t> plan = graph.dag.execution_plan(requested);
  // What needs a rerun is marked, together with its whole downstream.
  apply_invalidations(self, st, graph,
                      model::invalidate_for_run(graph.dag, plan, facts_of(st, graph)));
  run_summary(self);
  return Run{self,           st, std::move(graph_holder), graph, std::move(plan), send_to_front,
             optimize_memory};
}

void follow_up_success(const Run& run, std::size_t node) {
  PipelineState& st = run.st;
  const py::object& id = run.graph.id(node);
  py::object current = run.node(node);
  if (truthy(st.shell)) st.shell.attr("push")(current.attr(intern("outputs")));
  run_summary(run.self);
  // During a search, what the tuned parameters reach writes nothing for trial results.
  const bool in_reach = !st.search_reach.empty() && st.search_reach.count(text_of(id)) != 0;
  if (model::write_after_success(comp::uses_diskcache(current), in_reach))
    queue_write(run.self, id);
  take_messages(run.self);
  if (!run.optimize_memory) return;
  // Decided before any is freed: freeing changes no status the rule reads.
  for (std::size_t p : model::parents_to_free(run.graph.dag, node, facts_of(st, run.graph))) {
    comp::native(run.node(p)).clear_memory_cache();
  }
}

// The end of every run, also after a failure: memory of components without a disk cache is
// freed, the package list refreshed and the summary sent.
void finish_run(const Run& run) {
  PipelineState& st = run.st;
  st.fingerprints = {};
  if (run.optimize_memory) {
    py::dict nodes = st.nodes;
    for (const auto& item : nodes) {
      // Clearing an empty cache again would change nothing but still mark the component's
      // summary entry for rebuilding, which a large pipeline's final report would pay for.
      if (model::free_at_end(comp::facts(item.second)))
        comp::native(item.second).clear_memory_cache();
    }
  }
  py::object freeze = py_values::lookup("orvane_core.common.utils:get_pip_freeze");
  st.requirements =
      py_values::list_copy(freeze(py::arg("exclude_editable") = true,
                                  py::arg("skip") = py::make_tuple("orvane", "orvane-git")));
  run_summary(run.self);
}

bool children_successful(const py::object& self, const py::handle& component_id) {
  PipelineState& st = state(self);
  const GraphObject& graph = pipeline::graph(st);
  return model::all_children_successful(graph.dag, node_of(graph, component_id),
                                        facts_of(st, graph));
}

void register_runs(const py::object& cls, const std::string& suffix, RunMany run) {
  namespace pc = orvane::pyclass;
  const auto many = [run](const py::object& self, const py::object& component_ids,
                          const py::object& send_to_front, const py::object& optimize_memory) {
    return run(self, component_ids, truthy(send_to_front), truthy(optimize_memory));
  };
  const auto one = [many](const py::object& self, const std::optional<py::str>& id,
                          const py::object& send_to_front, const py::object& optimize_memory) {
    return many(self, py::make_tuple(id), send_to_front, optimize_memory);
  };
  const auto all = [many](const py::object& self, const py::object& send_to_front,
                          const py::object& optimize_memory) {
    return many(self, state(self).nodes, send_to_front, optimize_memory);
  };
  const py::arg_v send_to_front = py::arg("send_to_front") = true;
  const py::arg_v optimize_memory = py::arg("optimize_memory") = true;
  pc::def(cls, ("execute_component" + suffix).c_str(), one, py::arg("component_id"), send_to_front,
          optimize_memory, "Execute a component, including parent components.");
  pc::def(cls, ("execute_components" + suffix).c_str(), many, py::arg("component_ids"),
          send_to_front, optimize_memory, "Execute components, including parent components.");
  pc::def(cls, ("execute_all" + suffix).c_str(), all, send_to_front, optimize_memory,
          "Execute all components.");
}

void register_execution(py::module_& m, const py::object& cls) {
  namespace pc = orvane::pyclass;
  m.def("need_to_rerun_component", &need_to_rerun_component, py::arg("component"),
        py::arg("excludes") = py::none(), "Check if the component needs to be rerun.");
  register_runs(cls, "", &run_components);
  pc::def(cls, "_execute_component", &execute_step, py::arg("component_id"),
          py::arg("process_pool") = py::none(), "Execute component.");
  pc::def(cls, "_check_all_children_successful", &children_successful, py::arg("component_id"));
}

}  // namespace orvane::pipeline
