// Pipeline members: parallel runs, where every component that runs does so in a worker process
// (or on a remote worker), side by side with the others whose parents are done, while the kernel
// thread waits for their completions.
//
// Threads: only the kernel thread touches components and the run's bookkeeping. The worker pool
// has no thread of its own: the kernel thread waits on the workers' pipes (with the GIL
// released, until a completion comes or an interrupt), reads each completion itself and applies
// it to its component, so a component is never seen half-updated. A worker that dies, whether
// running, idle or half-way through its answer, comes back as a failed completion of its task.
#include <optional>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"
#include "core/run_scheduler.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

bool interrupt(const py::error_already_set& e) { return e.matches(PyExc_KeyboardInterrupt); }

// Calls `step`; an interrupt it raises is kept in `held`, for the caller to raise once the rest
// of its clean-up is done. Any other error propagates.
template <typename Step>
void holding_interrupt(std::optional<py::error_already_set>& held, Step&& step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!interrupt(e)) throw;
    held.emplace(std::move(e));
  }
}

// What components see as the process pool of a run. A component hands its task to
// apply_async(func, args, kwds, callback, error_callback), as to a standard pool; the task goes
// to the worker pool, created on the first task (a run that reuses every result needs none),
// and the kernel thread calls the component's own callback when the task's completion comes.
class RunPool {
 public:
  explicit RunPool(std::size_t slots)
      : slots_(slots),
        order_(slots),
        executor_(py_values::lookup(
            "orvane_core.executors.component_executors.local:OrvaneComponentExecutor")),
        by_executor_(executor_.attr("execute_with_serialized")) {}

  py::object apply_async(const py::object& func, const py::object& args, const py::object& kwds,
                         const py::object& callback, const py::object& error_callback) {
    if (!starting) {
      throw py::value_error("this pool takes a task only from the component the run starts");
    }
    Slot& slot = slots_[*starting];
    if (order_.handed(*starting)) throw py::value_error("a component hands one task to a run");
    // The local executor's own run of a pickled request: the worker holds that executor
    // already, and answers in the short form the component's callback also reads.
    const bool local =
        PyMethod_Check(func.ptr()) && PyMethod_GET_FUNCTION(func.ptr()) == by_executor_.ptr() &&
        Py_TYPE(PyMethod_GET_SELF(func.ptr())) ==
            reinterpret_cast<PyTypeObject*>(executor_.ptr()) &&
        (kwds.is_none() || (PyDict_Check(kwds.ptr()) && PyDict_GET_SIZE(kwds.ptr()) == 0)) &&
        PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1 &&
        PyBytes_Check(PyTuple_GET_ITEM(args.ptr(), 0));
    slot.callbacks = {callback, error_callback};
    order_.hand_over(*starting);
    if (slot.carried) {
      // Handed to a worker already, behind its parent: only its callbacks were missing.
      if (!local) throw py::value_error("a carried component runs with the local executor");
      return py::none();
    }
    if (!local) {
      // A task run elsewhere (on remote workers) by an object that can revoke it: its id is
      // fixed now, so that the run can revoke it when it abandons it, even before it is sent.
      py::object owner = py::getattr(func, "__self__", py::none());
      if (py::hasattr(owner, "revoke_task")) {
        owner.attr("reserve_task")();
        slot.revocable = owner;
      }
    }
    if (pool_.is_none()) {
      pool_ = py_values::lookup("orvane_core.executors.process_pool:OrvaneProcessPool")(
          py::arg("slots") = slots_.size());
      submit_ = pool_.attr("submit");
      submit_component_ = pool_.attr("submit_component");
      wait_ = pool_.attr("wait");
    }
    if (local) {
      py::handle owner = PyMethod_GET_SELF(func.ptr());
      submit_component_(*starting, owner.attr(pyclass::intern("identifier")),
                        owner.attr(pyclass::intern("name")),
                        py::handle(PyTuple_GET_ITEM(args.ptr(), 0)));
    } else {
      submit_(*starting, func, args.is_none() ? py::tuple() : args,
              kwds.is_none() ? py::dict() : kwds);
    }
    return py::none();
  }

  // No more tasks will come: workers leave once they have answered (idle ones now), while the
  // run's last follow-ups and its end are done, so that ending the pool only collects them.
  void dismiss_idle() {
    if (!pool_.is_none()) pool_.attr("dismiss_idle")();
  }

  // Sends the request of `component` (planned at `slot`, not started, with no parent but the
  // component of `after`, and bound to run) to the worker running the task of `after`, which
  // runs it right after that task, with its outputs as inputs, unless that task fails. Its
  // own start later only gives it its callbacks. Nothing is sent when no worker holds the
  // outputs of `after`'s task, or when it is sent already.
  void carry(std::size_t after, std::size_t slot, const py::handle& component,
             const py::object& parameters) {
    if (pool_.is_none() || slots_[slot].carried) return;
    const vostrel::ComponentNative& c = comp::native(component);
    slots_[slot].carried = truthy(
        pool_.attr("carry")(after, slot, c.id, c.name, c.cell_code, parameters.attr("copy")()));
  }

  // Waits (GIL released, no time limit) until completions are due (see run::Completions) and
  // returns their slots; an interrupt raises.
  std::vector<std::size_t> wait() {
    std::vector<std::size_t> due;
    while ((due = order_.due()).empty()) {
      // The pool returns at once, with nothing, when it runs no task.
      py::list arrived = pool_.is_none() ? py::list() : py::list(wait_());
      if (arrived.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "a component runs without a task in the worker pool");
        throw py::error_already_set();
      }
      for (const py::handle& item : arrived) {
        auto done = py::reinterpret_borrow<py::tuple>(item);
        const auto slot = done[0].cast<std::size_t>();
        if (order_.came(slot)) slots_[slot].result = {truthy(done[1]), done[2]};
      }
    }
    return due;
  }

  // Applies the completion of `slot` to its component on the kernel thread, with the
  // component's own callbacks, as the pool would have. A remote task that failed may have been
  // given up by its wait (the broker lost) while it still runs on a worker: it is revoked, now
  // or once the broker answers again.
  void apply(std::size_t index, const py::handle& component) {
    Slot& slot = slots_[index];
    const auto [ok, value] = std::exchange(slot.result, {});
    const py::object& handler = ok ? slot.callbacks.first : slot.callbacks.second;
    if (!handler.is_none()) handler(value);
    py::object owner = std::exchange(slot.revocable, py::none());
    if (!owner.is_none() && comp::failed(component)) owner.attr("revoke_task")();
  }

  // Ends every worker, so that nothing runs on, then revokes the remote tasks that have not
  // completed. May be called again: what is done is not done twice. An interrupt that comes
  // meanwhile is raised once all of it is done; the revocations it cut short are remembered
  // by their executors and sent when their broker next answers.
  void abandon() {
    std::optional<py::error_already_set> interrupted;
    if (!pool_.is_none()) holding_interrupt(interrupted, [&] { pool_.attr("stop")(); });
    for (Slot& slot : slots_) {
      if (slot.revocable.is_none()) continue;
      py::object revoking = std::exchange(slot.revocable, py::none());
      holding_interrupt(interrupted,
                        [&] { revoking.attr("revoke_task")(py::arg("now") = !interrupted); });
    }
    if (interrupted) throw std::move(*interrupted);
  }

  // The slot of the component being started, whose task apply_async accepts: it is RUNNING
  // without being started in the run's bookkeeping yet.
  std::optional<std::size_t> starting;

 private:
  struct Slot {  // a task's place in the plan
    std::pair<py::object, py::object> callbacks;
    py::object revocable = py::none();   // what can revoke its remote task
    std::pair<bool, py::object> result;  // its completion: ok, and the value or the exception
    bool carried = false;                // sent to run right after its parent's task
  };
  std::vector<Slot> slots_;
  run::Completions order_;
  // The executor class whose runs go to workers in the short form and its method that a
  // component hands over; the pool and its methods called for every task.
  py::object executor_, by_executor_, pool_ = py::none(), submit_, submit_component_, wait_;
};

struct ParallelRun : Run {
  run::RunScheduler scheduler;
  py::object pool_object;
  RunPool& pool;
  std::optional<std::size_t> last_access = std::nullopt;  // blamed for an unexpected error
  std::vector<std::size_t> succeeded = {};  // finished well, their follow-up proper still due
};

// The follow-up of a finished component: the part that decides what comes next. False when it
// failed and the run stops; a success goes to `succeeded`, whose follow-up proper (the shell's
// values, the disk cache, freed parents, the summary) waits until the children it made
// startable are handed to workers, so that it runs while they do.
bool follow_up(ParallelRun& run, std::size_t n) {
  py::object current = run.node(n);
  run.scheduler.finish(n);
  run.show(current);
  if (comp::failed(current)) {
    for (std::size_t other : run.scheduler.stop()) {
      comp::set_status(run.node(other), comp::Status::Invalid);
    }
    // The siblings given up stop at once rather than at the end of the call.
    run.pool.abandon();
    return false;
  }
  run.succeeded.push_back(n);
  return true;
}

void follow_up_succeeded(ParallelRun& run) {
  for (std::size_t n : std::exchange(run.succeeded, {})) {
    run.last_access = n;
    follow_up_success(run, n);
  }
}

// Once `n` runs in a worker, that worker may run its child next, whose inputs are exactly the
// outputs of `n`, and that child's child after it: each run locally and bound to run.
void carry_after(ParallelRun& run, std::size_t n) {
  for (std::size_t child : run.scheduler.carried_chain(n, run::kCarriedAhead)) {
    py::object target = run.node(child);
    if (truthy(comp::native(target).remote_config())) return;
    // One that is not SUCCESSFUL runs when its turn comes, whatever happens meanwhile.
    if (comp::successful(target)) return;
    // When no worker takes it, none takes those after it either.
    run.pool.carry(run.scheduler.position(n), run.scheduler.position(child), target,
                   run.st.parameters);
    n = child;
  }
}

// Starts what can start, then follows up what finished. False when a failure stops the run.
bool schedule_step(ParallelRun& run) {
  std::vector<std::size_t> finished;
  while (auto n = run.scheduler.next_startable()) {
    run.last_access = *n;
    run.pool.starting = run.scheduler.position(*n);
    execute_step(run.self, run.graph.id(*n), run.pool_object);
    run.pool.starting.reset();
    run.scheduler.start(*n);
    // Reused without running, or ended already: followed up without waiting.
    if (comp::status(run.node(*n)) != comp::Status::Running) {
      finished.push_back(*n);
    } else {
      carry_after(run, *n);
    }
  }
  follow_up_succeeded(run);
  if (finished.empty()) {
    for (std::size_t slot : run.pool.wait()) {
      const std::size_t n = run.scheduler.plan()[slot];
      run.last_access = n;
      run.pool.apply(slot, run.node(n));
      finished.push_back(n);
    }
    if (run.scheduler.waiting_count() == 0) run.pool.dismiss_idle();
  }
  for (std::size_t n : finished) {
    run.last_access = n;
    if (run.scheduler.phase(n) != run::Phase::Running) continue;
    if (!follow_up(run, n)) return false;
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

// An exception or interrupt left the scheduling loop: nothing runs any more; the components it
// concerns record it.
// An interrupt that comes while the workers are being stopped is not lost: the run ends as
// interrupted (once, however many come).
void stop_run(ParallelRun& run, py::error_already_set& first) {
  std::optional<py::error_already_set> later;
  holding_interrupt(later, [&] { run.pool.abandon(); });
  py::error_already_set& error = later && !interrupt(first) ? *later : first;
  std::vector<std::size_t> running = run.scheduler.stop();
  // A component interrupted while it was being started is RUNNING without being in the list.
  if (run.pool.starting) {
    const std::size_t starting = run.scheduler.plan()[*run.pool.starting];
    if (comp::status(run.node(starting)) == comp::Status::Running) running.push_back(starting);
  }
  const run::StopActions stop = run::on_stop(interrupt(error), std::move(running), run.last_access);
  for (std::size_t n : stop.invalidate) comp::set_status(run.node(n), comp::Status::Invalid);
  for (std::size_t n : stop.fail) record_failure(run, n, error);
  if (stop.cancel_writes) cancel_pending_writes(run.self);
  run_summary(run.self);
}

py::object execute_components_async(const py::object& self, const py::handle& component_ids,
                                    bool send_to_front, bool optimize_memory) {
  const Run start = open_run(self, component_ids, send_to_front, optimize_memory);
  if (!start.plan.empty()) {
    py::object pool_object = py::cast(RunPool(start.plan.size()));
    RunPool& pool = pool_object.cast<RunPool&>();
    // Ends the workers however the run ends (normally done already: then this does nothing).
    py_values::OnExit terminating("terminating the worker pool of a parallel run",
                                  [&pool] { pool.abandon(); });
    ParallelRun run{start, run::RunScheduler(start.graph.dag, start.plan), pool_object, pool};
    try {
      schedule(run);
      pool.abandon();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
      stop_run(run, e);
    }
  }
  finish_run(start);
  return py::none();
}

}  // namespace

void register_async_execution(py::module_& m, const py::object& cls) {
  py::class_<RunPool>(m, "_RunPool", "The process pool a parallel run hands its components.")
      .def("apply_async", &RunPool::apply_async, py::arg("func"), py::arg("args") = py::tuple(),
           py::arg("kwds") = py::none(), py::arg("callback") = py::none(),
           py::arg("error_callback") = py::none());
  register_runs(cls, "_async", &execute_components_async);
}

}  // namespace orvane::pipeline
