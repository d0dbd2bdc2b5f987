// Pipeline members: runs and reporting to the front end. A synchronous run runs its components
// one after the other in the kernel's shell; a parallel run runs every component that runs in a
// worker process (or on a remote worker), side by side with the others whose parents are done,
// while the kernel thread waits for their completions. Both take the same steps: open_run, then
// per component execute_step followed by follow_up_success or record_failure, then finish_run.
//
// Threads of a parallel run: only the kernel thread touches components and the run's
// bookkeeping. The worker pool has no thread of its own: the kernel thread waits on the workers'
// pipes (with the GIL released, until a completion comes or an interrupt), reads each completion
// itself and applies it to its component, so a component is never seen half-updated. A worker
// that dies, whether running, idle or half-way through its answer, comes back as a failed
// completion of its task.
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"
#include "core/run_scheduler.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace pc = orvane::pyclass;

bool need_to_rerun_component(const py::object& component, const py::object& excludes) {
  const model::NodeFacts facts = comp::facts(component);
  const bool asked = !excludes.is_none() && facts.status == comp::Status::Successful;
  const int found =
      asked ? PySequence_Contains(excludes.ptr(), comp::native(component).id.ptr()) : 0;
  if (found < 0) throw py::error_already_set();
  return model::needs_rerun(facts, found != 0);
}

// The run's own errors are raised as Python errors: a run records them in the component.
using py_values::raise;

bool interrupt(const py::error_already_set& e) { return e.matches(PyExc_KeyboardInterrupt); }

// A run's state from its start to its end: the graph is held for the whole run, since a
// callback may replace the pipeline's graph meanwhile, and the plan and the parents of this run
// stay those of the graph it started with.
struct Run {
  const py::object& self;
  PipelineState& st;
  py::object graph_holder;
  const GraphObject& graph;
  std::vector<std::size_t> plan;
  bool send_to_front = true, optimize_memory = true;

  py::object node(std::size_t n) const { return component(st, graph.id(n)); }
  // Shows the component's captured output (or its last output) when the run sends to the front.
  void show(const py::handle& c, bool last_output = false) const {
    const auto shows = last_output ? vostrel::show_last_output : vostrel::show_captured;
    if (send_to_front) shows(comp::native(c), st.shell);
  }
};

// The start every run shares: writer check, plan, invalidation pass and summary.
Run open_run(const py::object& self, const py::handle& component_ids, bool send_to_front,
             bool optimize_memory) {
  PipelineState& st = state(self);
  if (!truthy(st.writer.attr("is_alive")())) restart_writer(st);
  // Reuse notes are the previous run's; fingerprints are remembered until the run ends.
  st.reused.clear();
  st.interrupted = false;
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

// Records an exception that escaped a component's run in that component (an interrupt also
// cancels every pending write, and the run notes it was interrupted).
void record_failure(const Run& run, std::size_t node, py::error_already_set& error) {
  py::object failed = run.node(node);
  vostrel::fail(comp::native(failed), error);
  run.show(failed);
  // An interrupt abandons the whole run: no pending write may complete for it.
  if (!interrupt(error)) return;
  run.st.interrupted = true;
  cancel_pending_writes(run.self);
}

// What a run does after a component succeeded or was reused: its outputs reach the shell, the
// summary is sent, its disk write is queued, and parents no child needs any more are freed.
void follow_up_success(const Run& run, std::size_t node) {
  PipelineState& st = run.st;
  const py::object& id = run.graph.id(node);
  py::object current = run.node(node);
  if (truthy(st.shell)) st.shell.attr("push")(current.attr(pc::intern("outputs")));
  run_summary(run.self);
  // During a search, what the tuned parameters reach writes nothing for trial results.
  const bool in_reach = !st.search_reach.empty() && st.search_reach.count(text_of(id)) != 0;
  if (model::write_after_success(comp::uses_diskcache(current), in_reach))
    queue_write(run.self, id);
  take_messages(run.self);
  if (!run.optimize_memory) return;
  // Decided before any is freed: freeing changes no status the rule reads.
  for (std::size_t p : model::parents_to_free(run.graph.dag, node, facts_of(st, run.graph)))
    comp::native(run.node(p)).clear_memory_cache();
}

// The end of every run, also after a failure: memory of components without a disk cache is
// freed, the package list refreshed and the summary sent.
void finish_run(const Run& run) {
  PipelineState& st = run.st;
  st.fingerprints = {};
  if (run.optimize_memory) {
    // Walked on a reference of its own: clearing a cache runs Python code, which may replace
    // the pipeline's components. Clearing an empty cache again would change nothing but still
    // mark the component's summary entry for rebuilding, which a large pipeline's final report
    // would pay for.
    for (const auto& item : py::dict(st.nodes)) {
      if (model::free_at_end(comp::facts(item.second)))
        comp::native(item.second).clear_memory_cache();
    }
  }
  // A new list each call, editable installs left out.
  st.requirements =
      kept("orvane_core.common.utils:get_pip_freeze")(true, py::make_tuple("orvane", "orvane-git"));
  run_summary(run.self);
}

// A parallel run: the plan's bookkeeping and the worker pool that runs its tasks (it starts no
// worker before the first task: a run that reuses every result needs none). Only the kernel
// thread applies a task's completion, to its component.
struct ParallelRun : Run {
  explicit ParallelRun(const Run& start)
      : Run(start),
        scheduler(graph.dag, plan),
        order(plan.size()),
        pool(kept("orvane_core.executors.process_pool:OrvaneProcessPool")(plan.size())) {}

  // Hands over the task of the component being started: the executor's method and its pickled
  // request (see vostrel::pool_task). The pool picks the form it is sent in, and
  // sends nothing for a task it carried already.
  void submit(const std::pair<py::object, py::object>& task) {
    const std::size_t slot = scheduler.position(*starting);
    order.hand_over(slot);
    pool.attr("submit")(slot, task.first, py::make_tuple(task.second));
  }

  // Sends the request of `child` (not started, with no parent but `after`, and bound to run) to
  // the worker running the task of `after`, which runs it right after that task, with its
  // outputs as inputs, unless that task fails. Its own start later sends nothing. Nothing is
  // sent when no worker holds the outputs of `after`'s task, or when it is sent already. The
  // parameters are pickled as they are now.
  void carry(std::size_t after, std::size_t child, const vostrel::ComponentNative& c) {
    pool.attr("carry")(scheduler.position(after), scheduler.position(child), c.id, c.name,
                       c.cell_code, st.parameters);
  }

  // Waits (GIL released, no time limit) until completions are due (see run::Completions),
  // applies each to its component and returns their nodes; an interrupt raises. When no more
  // tasks will come, workers leave once they have answered (idle ones now), while the run's
  // last follow-ups and its end are done, so that ending the pool only collects them.
  std::vector<std::size_t> take_completions() {
    decltype(order.due()) due;
    while ((due = order.due()).empty()) {
      // The pool returns at once, with nothing, when it runs no task.
      using Arrived = std::vector<std::tuple<std::size_t, bool, py::object>>;
      const Arrived arrived = pool.attr("wait")().cast<Arrived>();
      if (arrived.empty())
        raise(PyExc_RuntimeError, "a component runs without a task in the worker pool");
      for (const auto& [slot, ok, value] : arrived) order.came(slot, {ok, value});
    }
    if (scheduler.waiting_count() == 0) pool.attr("dismiss_idle")();
    std::vector<std::size_t> finished;
    for (auto& [slot, answer] : due) {
      const std::size_t n = finished.emplace_back(scheduler.plan()[slot]);
      last_access = n;
      // Each answer is let go once applied: a run's results may be large.
      vostrel::complete(comp::native(node(n)), answer.first, std::move(answer.second));
    }
    return finished;
  }

  // Ends every worker and revokes the remote tasks that have not completed (see the pool's
  // stop). May be called again: what is done is not done twice.
  void abandon() { pool.attr("stop")(); }

  run::RunScheduler scheduler;
  // By slot (a task's place in the plan): its completions, each ok and the value or the
  // exception.
  run::Completions<std::pair<bool, py::object>> order;
  py::object pool;
  // The component being started, whose task submit takes: it is RUNNING without being started
  // in the scheduler yet.
  std::optional<std::size_t> starting = std::nullopt;
  std::optional<std::size_t> last_access = std::nullopt;  // blamed for an unexpected error
  std::vector<std::size_t> succeeded = {};  // finished well, their follow-up proper still due
};

// Runs one component, or submits it to `process_pool` (handing it to apply_async) or to the
// pool of a parallel `run`, as _execute_component does.
py::object execute_step(const py::object& self, const py::object& id, ParallelRun* run = nullptr,
                        const py::object& process_pool = py::none()) {
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
      return vostrel::cache_get(comp::native(target), vostrel::Field::LastOutput);
    }
    st.decisions.cache_damaged(key);
  }
  comp::set_status(target, comp::Status::Running);
  run_summary(self);

  py::dict module_statements, non_module_inputs;
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  const std::size_t node = node_of(graph, id);
  if (auto unfinished = model::unfinished_parent(graph.dag, node, facts_of(st, graph)))
    raise(PyExc_RuntimeError, model::unfinished_parent_message(text_of(
                                  comp::native(component(st, graph.id(*unfinished))).name)));
  model::InputMerge merge;
  for (std::size_t p : graph.dag.predecessors(node)) {
    py::object parent = component(st, graph.id(p));  // held while its values are read
    const comp::ComponentNative& from = comp::native(parent);
    py::dict statements = vostrel::cache_get(from, vostrel::Field::ModuleStatements);
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& [symbol, text] : statements) {
      lines.emplace_back(text_of(symbol), text_of(text));
      module_statements[symbol] = text;
    }
    if (auto conflict = merge.add_statements(text_of(from.name), lines))
      raise(PyExc_ValueError, *conflict);
    py::dict values = vostrel::cache_get(from, vostrel::Field::NonModuleOutputs);
    for (const auto& [symbol, value] : values) {
      // The same object serialises to the same bytes; only distinct objects are compared.
      if (merge.value_seen(text_of(symbol)) && non_module_inputs[symbol].ptr() != value.ptr() &&
          rt().pickle_dumps(non_module_inputs[symbol]).not_equal(rt().pickle_dumps(value)))
        raise(PyExc_ValueError, model::InputMerge::value_conflict(text_of(symbol)));
      non_module_inputs[symbol] = value;
    }
  }

  // Run here in the shell, or submitted to the pool, which gives no output back.
  py::object parameters = st.parameters.attr("copy")(), output = py::none();
  if (run != nullptr) {
    run->submit(
        vostrel::pool_task(comp::native(target), module_statements, non_module_inputs, parameters));
  } else if (truthy(process_pool)) {
    vostrel::execute_async(target, process_pool, module_statements, non_module_inputs, parameters);
  } else {
    output = vostrel::execute(comp::native(target), module_statements, non_module_inputs,
                              parameters, st.shell);
  }
  run_summary(self);
  return output;
}

// ---- parallel runs ----

void follow_up_succeeded(ParallelRun& run) {
  for (std::size_t n : std::exchange(run.succeeded, {})) {
    run.last_access = n;
    follow_up_success(run, n);
  }
}

// Starts what can start, then follows up what finished. False when a failure stops the run.
bool schedule_step(ParallelRun& run) {
  std::vector<std::size_t> finished;
  while (auto n = run.scheduler.next_startable()) {
    run.last_access = *n;
    run.starting = *n;
    execute_step(run.self, run.graph.id(*n), &run);
    run.starting.reset();
    run.scheduler.start(*n);
    // Reused without running, or ended already: followed up without waiting.
    if (comp::native(run.node(*n)).status() != comp::Status::Running) {
      finished.push_back(*n);
      continue;
    }
    // Once it runs in a worker, that worker may run its child next, whose inputs are exactly
    // its outputs, and that child's child after it: each run locally and bound to run (one
    // that is not SUCCESSFUL runs when its turn comes, whatever happens meanwhile).
    std::size_t after = *n;
    for (std::size_t child : run.scheduler.carried_chain(after, run::kCarriedAhead)) {
      py::object target = run.node(child);
      if (truthy(comp::native(target).remote_config()) || comp::successful(target)) break;
      // When no worker takes it, none takes those after it either.
      run.carry(after, child, comp::native(target));
      after = child;
    }
  }
  follow_up_succeeded(run);
  if (finished.empty()) finished = run.take_completions();
  for (std::size_t n : finished) {
    run.last_access = n;
    if (run.scheduler.phase(n) != run::Phase::Running) continue;
    // The follow-up that decides what comes next: a failure stops the run; a success goes to
    // `succeeded`, whose follow-up proper (the shell's values, the disk cache, freed parents,
    // the summary) waits until the children it made startable are handed to workers, so that
    // it runs while they do.
    py::object current = run.node(n);
    run.scheduler.finish(n);
    run.show(current);
    if (!comp::failed(current)) {
      run.succeeded.push_back(n);
      continue;
    }
    for (std::size_t other : run.scheduler.stop())
      comp::set_status(run.node(other), comp::Status::Invalid);
    // The siblings given up stop at once rather than at the end of the call.
    run.abandon();
    return false;
  }
  return true;
}

void schedule(ParallelRun& run) {
  try {
    while (!run.scheduler.done() && schedule_step(run)) {
    }
  } catch (py::error_already_set&) {
    // What succeeded is followed up as it would have been before the error; the error stays
    // with the component it concerns.
    const std::optional<std::size_t> blamed = run.last_access;
    follow_up_succeeded(run);
    run.last_access = blamed;
    throw;
  }
  follow_up_succeeded(run);
}

py::object execute_components_async(const py::object& self, const py::handle& component_ids,
                                    bool send_to_front, bool optimize_memory) {
  // A run that has nothing to run starts no worker either.
  ParallelRun run(open_run(self, component_ids, send_to_front, optimize_memory));
  // Ends the workers however the run ends (normally done already: then this does nothing).
  py_values::OnExit terminating("terminating the worker pool of a parallel run",
                                [&run] { run.abandon(); });
  try {
    schedule(run);
    run.abandon();
  } catch (py::error_already_set& first) {
    if (!first.matches(PyExc_Exception) && !first.matches(PyExc_KeyboardInterrupt)) throw;
    // An exception or interrupt left the scheduling loop: nothing runs any more; the
    // components it concerns record it. An interrupt that comes while the workers are being
    // stopped is not lost: the run ends as interrupted (once, however many come).
    py::error_already_set error = first;
    try {
      run.abandon();
    } catch (py::error_already_set& e) {
      if (!interrupt(e)) throw;
      if (!interrupt(error)) error = e;
    }
    std::vector<std::size_t> running = run.scheduler.stop();
    // A component interrupted while it was being started is RUNNING without being in the list.
    if (run.starting && comp::native(run.node(*run.starting)).status() == comp::Status::Running)
      running.push_back(*run.starting);
    const run::StopActions stop =
        run::on_stop(interrupt(error), std::move(running), run.last_access);
    for (std::size_t n : stop.invalidate) comp::set_status(run.node(n), comp::Status::Invalid);
    for (std::size_t n : stop.fail) record_failure(run, n, error);
    if (stop.cancel_writes) cancel_pending_writes(self);
    run_summary(self);
  }
  finish_run(run);
  return py::none();
}

// A run of several components, registered with its one-component and all-components forms as
// execute_component<suffix>, execute_components<suffix> and execute_all<suffix>.
void register_runs(const py::object& cls, const std::string& suffix,
                   py::object (*run)(const py::object&, const py::handle&, bool, bool)) {
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

}  // namespace

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

void register_execution(py::module_& m, const py::object& cls) {
  m.def("need_to_rerun_component", &need_to_rerun_component, py::arg("component"),
        py::arg("excludes") = py::none(), "Check if the component needs to be rerun.");
  register_runs(cls, "", &run_components);
  pc::def(
      cls, "_execute_component",
      [](const py::object& self, const std::optional<py::str>& id, const py::object& process_pool) {
        return execute_step(self, py::cast(id), nullptr, process_pool);
      },
      py::arg("component_id"), py::arg("process_pool") = py::none(), "Execute component.");
  register_runs(cls, "_async", &execute_components_async);
}

}  // namespace orvane::pipeline
