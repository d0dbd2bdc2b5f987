// Pipeline members: parallel runs, where components whose parents are done run side by side in
// worker processes while the kernel thread waits for their completions.
//
// A component that is the only one able to run (nothing runs, nothing else may start: a stretch
// of a chain) runs in the kernel thread instead, through the same serialized request and
// completion as in a worker: a worker would add its round trip and run nothing beside it.
//
// Threads: only the kernel thread touches components and the run's bookkeeping. The worker
// pool's result thread only hands each completion to the run's queue (RunPool below), and the
// kernel thread applies it to the component itself, so a component is never seen half-updated
// and nothing of ours can raise on the pool's thread. The kernel thread waits on that queue with
// the GIL released, in short bounded waits between which it checks for an interrupt and for
// worker processes that died with a task.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"
#include "core/completion_queue.hpp"
#include "core/run_scheduler.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

using Clock = std::chrono::steady_clock;

// A wait for completions lasts at most this long before the kernel thread looks for an
// interrupt: short enough that stopping a run feels immediate.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);
// How often the pool is asked whether a running task's worker process has died, and how long a
// task whose worker died may still deliver a result that was already on its way.
constexpr auto kLostCheckEvery = std::chrono::milliseconds(250);
constexpr auto kLostGrace = std::chrono::milliseconds(500);

struct Completion {
  std::size_t slot = 0;  // the task's place in the plan
  bool ok = false;       // result (true) or error (false)
  py::object value;      // the task's return value or its exception
};
using Queue = run::CompletionQueue<Completion>;

// Runs on the pool's result thread (with the GIL): it must not raise, or that thread dies and
// every later completion of the pool is lost.
void deliver(Queue& queue, std::size_t slot, bool ok, py::object value) noexcept {
  try {
    queue.push(Completion{slot, ok, std::move(value)});
  } catch (...) {
    // Out of memory: the task is then found by the lost-task check of the waiting thread.
  }
}

// What components see as the process pool of a run. A component hands its task to
// apply_async(func, args, kwds, callback, error_callback), as to a standard pool; the task goes
// to the worker pool, created on the first task (a run that reuses every result needs none),
// and its completion goes to the run's queue, from which the kernel thread calls the
// component's own callback.
class RunPool {
 public:
  explicit RunPool(std::size_t slots)
      : queue(std::make_shared<Queue>()),
        callbacks_(slots),
        submitted_(slots, false),
        revocable_(slots, py::none()) {}

  py::object apply_async(const py::object& func, const py::object& args, const py::object& kwds,
                         const py::object& callback, const py::object& error_callback) {
    if (!current_) {
      throw py::value_error("this pool takes a task only from the component the run starts");
    }
    const std::size_t slot = *current_;
    if (submitted_[slot]) throw py::value_error("a component hands one task to a run");
    // A task run elsewhere (on remote workers) by an object that can revoke it: its id is fixed
    // now, so that the run can revoke it when it abandons it, even before it has been sent.
    py::object owner = py::getattr(func, "__self__", py::none());
    if (py::hasattr(owner, "revoke_task")) {
      owner.attr("reserve_task")();
      revocable_[slot] = owner;
    }
    callbacks_[slot] = {callback, error_callback};
    submitted_[slot] = true;
    if (here_) {
      held_ =
          Held{slot, func, args.is_none() ? py::tuple() : args, kwds.is_none() ? py::dict() : kwds};
      return py::none();
    }
    if (pool_.is_none()) {
      pool_ = py::module_::import("orvane_core.executors.process_pool")
                  .attr("OrvaneProcessPool")(py::arg("slots") = callbacks_.size());
    }
    std::shared_ptr<Queue> q = queue;
    py::cpp_function on_result(
        [q, slot](py::object value) { deliver(*q, slot, true, std::move(value)); });
    py::cpp_function on_error(
        [q, slot](py::object exc) { deliver(*q, slot, false, std::move(exc)); });
    return pool_.attr("submit")(slot, func, args.is_none() ? py::tuple() : args,
                                kwds.is_none() ? py::dict() : kwds, on_result, on_error);
  }

  // The component being started, whose task apply_async accepts; with `here`, the task is held
  // for run_held instead of going to a worker.
  void starting(std::optional<std::size_t> slot, bool here = false) {
    current_ = slot;
    here_ = here;
  }

  // Runs the held task in this thread, as a worker would, and queues its completion. An
  // interrupt propagates: the run handles it as one that came while it waited.
  void run_held() {
    if (!held_) return;
    Held task = std::move(*held_);
    held_.reset();
    if (run_here_.is_none()) {
      run_here_ = py::module_::import("orvane_core.executors.process_pool").attr("run_here");
    }
    try {
      queue->push(Completion{task.slot, true, run_here_(task.func, task.args, task.kwds)});
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      queue->push(Completion{task.slot, false, e.value()});
    }
  }

  // The task of `slot` has completed: nothing of it is left to revoke.
  void settled(std::size_t slot) { revocable_[slot] = py::none(); }
  bool submitted(std::size_t slot) const { return submitted_[slot]; }
  const std::pair<py::object, py::object>& callbacks(std::size_t slot) const {
    return callbacks_[slot];
  }
  bool has_pool() const { return !pool_.is_none(); }
  const py::object& pool() const { return pool_; }

  // Stops every worker, so that no completion arrives afterwards, then revokes the remote tasks
  // that have not completed, so that remote workers do not go on running them.
  void abandon() {
    if (!pool_.is_none()) pool_.attr("terminate")();
    for (py::object& owner : revocable_) {
      if (owner.is_none()) continue;
      py::object revoking = std::move(owner);
      owner = py::none();
      revoking.attr("revoke_task")();
    }
  }

  std::shared_ptr<Queue> queue;

 private:
  struct Held {
    std::size_t slot;
    py::object func, args, kwds;
  };
  std::vector<std::pair<py::object, py::object>> callbacks_;  // by slot
  std::vector<bool> submitted_;
  std::vector<py::object> revocable_;  // by slot: the object that can revoke the remote task
  std::optional<std::size_t> current_;
  bool here_ = false;
  std::optional<Held> held_;
  py::object pool_ = py::none();
  py::object run_here_ = py::none();
};

// Terminates the pool however the run ends.
class Terminating {
 public:
  explicit Terminating(RunPool& pool) : pool_(pool) {}
  ~Terminating() {
    try {
      pool_.abandon();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("terminating the worker pool of a parallel run");
    }
  }
  Terminating(const Terminating&) = delete;
  Terminating& operator=(const Terminating&) = delete;

 private:
  RunPool& pool_;
};

struct Run {
  const py::object& self;
  PipelineState& st;
  const GraphObject& graph;
  run::RunScheduler scheduler;
  RunPool& pool;
  bool send_to_front;
  bool optimize_memory;
  std::optional<std::size_t> last_access;  // the node blamed for an unexpected error
  std::optional<std::size_t> starting;     // the node being started, not yet running
  std::vector<bool> completed;             // by slot: a completion was applied
  std::unordered_map<std::size_t, Clock::time_point> suspects;  // slot -> first seen lost

  py::object node(std::size_t n) const { return component(st, graph.id(n)); }
};

// Waits, with the GIL released, until completions arrive; meanwhile checks for an interrupt
// (raised here as KeyboardInterrupt) and for tasks whose worker process died, which come back
// as failed completions with the reason.
std::vector<Completion> wait_for_completions(Run& run) {
  auto next_check = Clock::now() + kLostCheckEvery;
  while (true) {
    // A completion already there (one run in this thread) is taken without letting go of the
    // GIL: another thread that wants it could keep it for a whole switch interval.
    bool ready = !run.pool.queue->empty();
    if (!ready) {
      py::gil_scoped_release unlocked;
      ready = run.pool.queue->wait(kWaitSlice);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (ready) return run.pool.queue->take();
    if (!run.pool.has_pool() || Clock::now() < next_check) continue;
    next_check = Clock::now() + kLostCheckEvery;

    py::list slots;
    for (std::size_t n : run.scheduler.running()) {
      const std::size_t slot = run.scheduler.position(n);
      if (run.pool.submitted(slot) && !run.completed[slot]) slots.append(slot);
    }
    if (slots.empty()) continue;
    std::vector<Completion> lost;
    for (const py::handle& item : run.pool.pool().attr("lost")(slots)) {
      auto pair = py::reinterpret_borrow<py::tuple>(item);
      const auto slot = pair[0].cast<std::size_t>();
      auto seen = run.suspects.emplace(slot, Clock::now()).first;
      if (Clock::now() - seen->second < kLostGrace) continue;
      py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(pair[1]);
      lost.push_back(Completion{slot, false, error});
    }
    if (!lost.empty()) return lost;
  }
}

// Applies a completion to its component on the kernel thread, with the component's own
// callbacks, as the pool would have.
void apply(Run& run, Completion& done) {
  const auto& [callback, error_callback] = run.pool.callbacks(done.slot);
  const py::object& handler = done.ok ? callback : error_callback;
  if (!handler.is_none()) handler(done.value);
}

// The follow-up of a finished component. False when it failed and the run stops.
bool follow_up(Run& run, std::size_t n) {
  py::object current = run.node(n);
  run.scheduler.finish(n);
  if (run.send_to_front) current.attr("show_captured")(py::arg("shell") = run.st.shell);
  if (comp::failed(current)) {
    // No completion may land once the others are given up: stop the workers first.
    run.pool.abandon();
    for (std::size_t other : run.scheduler.stop()) {
      comp::set_status(run.node(other), rt().status_invalid);
    }
    return false;
  }
  follow_up_success(run.self, run.st, run.graph, n, run.optimize_memory);
  return true;
}

void schedule(Run& run, const py::object& pool_object) {
  while (!run.scheduler.done()) {
    std::vector<std::size_t> finished;
    while (auto n = run.scheduler.next_startable()) {
      run.last_access = *n;
      run.starting = *n;
      // Alone in the run, a local component runs in this thread (see the top of this file).
      const bool here = run.scheduler.running().empty() && run.scheduler.ready_count() == 1 &&
                        !comp::runs_remotely(run.node(*n));
      run.pool.starting(run.scheduler.position(*n), here);
      execute_step(run.self, run.graph.id(*n), pool_object);
      run.pool.starting(std::nullopt);
      run.scheduler.start(*n);
      run.starting.reset();
      run.pool.run_held();
      // Reused without running, or ended already: followed up without waiting.
      if (comp::status(run.node(*n)) != comp::Status::Running) finished.push_back(*n);
    }
    if (finished.empty()) {
      for (Completion& done : wait_for_completions(run)) {
        // A lost task's result may still arrive after it was reported lost: the first wins.
        if (run.completed[done.slot]) continue;
        run.completed[done.slot] = true;
        run.pool.settled(done.slot);
        const std::size_t n = run.scheduler.plan()[done.slot];
        run.last_access = n;
        apply(run, done);
        finished.push_back(n);
      }
    }
    for (std::size_t n : finished) {
      run.last_access = n;
      if (run.scheduler.phase(n) != run::Phase::Running) continue;
      if (!follow_up(run, n)) return;
    }
  }
}

// An exception or interrupt left the scheduling loop: nothing runs any more; the components it
// concerns record it.
void stop_run(Run& run, py::error_already_set& error) {
  run.pool.abandon();
  std::vector<std::size_t> running = run.scheduler.stop();
  // A component interrupted while it was being started is RUNNING without being in the list.
  if (run.starting && comp::status(run.node(*run.starting)) == comp::Status::Running) {
    running.push_back(*run.starting);
  }
  if (error.matches(PyExc_KeyboardInterrupt)) {
    for (std::size_t n : running) {
      record_failure(run.self, run.st, run.graph.id(n), error, run.send_to_front);
    }
    if (running.empty()) cancel_pending_writes(run.self);
  } else {
    for (std::size_t n : running) comp::set_status(run.node(n), rt().status_invalid);
    if (run.last_access) {
      record_failure(run.self, run.st, run.graph.id(*run.last_access), error, run.send_to_front);
    }
  }
  run_summary(run.self);
}

py::object execute_components_async(const py::object& self, const py::object& component_ids,
                                    const py::object& send_to_front_arg,
                                    const py::object& optimize_memory_arg) {
  const bool send_to_front = truthy(send_to_front_arg);
  const bool optimize_memory = truthy(optimize_memory_arg);
  PipelineState& st = state(self);
  RunStart start = open_run(self, st, component_ids);
  const GraphObject& graph = start.graph;
  std::vector<std::size_t>& plan = start.plan;

  if (!plan.empty()) {
    const std::size_t slots = plan.size();
    py::object pool_object = py::cast(RunPool(slots));
    RunPool& pool = pool_object.cast<RunPool&>();
    Terminating terminating(pool);
    Run run{self,
            st,
            graph,
            run::RunScheduler(graph.dag, std::move(plan)),
            pool,
            send_to_front,
            optimize_memory,
            std::nullopt,
            std::nullopt,
            std::vector<bool>(slots, false),
            {}};
    try {
      schedule(run, pool_object);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
      stop_run(run, e);
    }
  }
  finish_run(self, st, optimize_memory);
  return py::none();
}

py::object execute_component_async(const py::object& self,
                                   const std::optional<py::str>& component_id,
                                   const py::object& send_to_front,
                                   const py::object& optimize_memory) {
  py::list ids;
  ids.append(component_id ? py::object(*component_id) : py::object(py::none()));
  return self.attr("execute_components_async")(py::arg("component_ids") = ids,
                                               py::arg("send_to_front") = send_to_front,
                                               py::arg("optimize_memory") = optimize_memory);
}

py::object execute_all_async(const py::object& self, const py::object& send_to_front,
                             const py::object& optimize_memory) {
  return self.attr("execute_components_async")(py::arg("component_ids") = state(self).nodes,
                                               py::arg("send_to_front") = send_to_front,
                                               py::arg("optimize_memory") = optimize_memory);
}

}  // namespace

void register_async_execution(py::module_& m, const py::object& cls) {
  py::class_<RunPool>(m, "_RunPool", "The process pool a parallel run hands its components.")
      .def("apply_async", &RunPool::apply_async, py::arg("func"), py::arg("args") = py::tuple(),
           py::arg("kwds") = py::none(), py::arg("callback") = py::none(),
           py::arg("error_callback") = py::none())
      .def("__bool__", [](const RunPool&) { return true; });
  register_runs(cls, "_async", &execute_component_async, &execute_components_async,
                &execute_all_async);
}

}  // namespace orvane::pipeline
