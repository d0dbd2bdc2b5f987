// The native state of a code-cell component, the questions other engine modules may ask it and
// the operations they call on it.
//
// What the pipeline module may use, on `py::cast<ComponentNative&>(component)` (every component
// is an instance of a class built on this native base):
//   queries   status(), success_count(), diskcache_enabled(), remote_config(), disk_status()
//             (as the property reports it), stored_disk_status(), write_pending(),
//             has_diskcache(), diskcache(), diskcache_dir(), memory_cache_empty()
//   memory    clear_memory_cache()
//   disk-cache channel
//             write_queued(count, dir), write_refused(), write_cancelled(), writer_stopped(),
//             write_done(count, dir, successful) -> DoneVerdict, mark_disk_status(status) for
//             UPDATING, CACHED or FAILED, release_diskcache() (let go without deleting)
// Everything above is inline here or compiled into orvane_native. Running, the status setter,
// loading, clearing and showing results are the operations declared at the end, compiled into
// a library of their own (orvane_component) that the component module binds and the pipeline
// module links too; anything else goes through the component's Python members.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_values.hpp"
#include "core/component_state.hpp"

namespace orvane::vostrel {

namespace py = pybind11;
using component::DiskEvent;
using component::DiskInput;
using component::DiskStatus;
using component::DoneVerdict;
using component::Field;
using component::Status;
using component::Write;

struct ComponentNative {
  // Values of the component, as Python objects (records, caches, text).
  py::object id = py::none(), name = py::none(), cell_code = py::none(), metadata = py::none(),
             in_and_out = py::none(), memory = py::none(), diskcache_handle = py::none();
  component::StatusMachine run;
  component::DiskMachine disk;
  // The pipeline's set of components whose summary changed, and this component's summary
  // mapping cached until it changes. The generation number lets a summary build notice a change
  // made meanwhile by a completion on the pool's result thread.
  py::object summary_sink = py::none(), info_cache = py::none();
  std::uint64_t info_generation = 0;

  // ---- queries ----
  Status status() const { return run.status(); }
  std::int64_t success_count() const { return run.success_count(); }
  // The disk-cache switch lives in the metadata record, which users may change in place.
  bool diskcache_enabled() const {
    static const py::handle field(PyUnicode_InternFromString("diskcache"));  // kept
    return !metadata.is_none() && py_values::truthy(metadata.attr(field));
  }
  // The remote configuration in the metadata record: None runs the component locally.
  py::object remote_config() const {
    static const py::handle field(PyUnicode_InternFromString("remoteExecution"));  // kept
    return metadata.is_none() ? py::object(py::none()) : metadata.attr(field);
  }
  DiskStatus disk_status() const { return disk.reported(diskcache_enabled()); }
  DiskStatus stored_disk_status() const { return disk.stored(); }
  // A write of the current results is queued and has not finished. The reported status hides
  // this while a cache is attached (it reads CACHED), so this is the question to ask.
  bool write_pending() const { return disk.write_pending(); }
  // Some write is still on its way, also one queued behind a write that has landed since (the
  // status then reads CACHED): a clear must withdraw it, or it would bring the results back.
  bool write_in_flight() const { return disk.write_in_flight(); }
  bool has_diskcache() const { return disk.attached(); }
  const py::object& diskcache() const { return diskcache_handle; }
  // The folder of the attached disk cache, or None.
  py::object diskcache_dir() const {
    if (diskcache_handle.is_none()) return py::none();
    return diskcache_handle.attr("cache_dir");
  }
  // True when the in-memory cache holds no results (or there is none).
  bool memory_cache_empty() const {
    static const py::handle method(PyUnicode_InternFromString("is_empty"));  // kept
    return memory.is_none() || py_values::truthy(memory.attr(method)());
  }

  // Drops the results held in memory (a component without an in-memory cache has none).
  void clear_memory_cache() {
    if (memory.is_none()) return;
    memory.attr("clear_cache")();
    touch();
  }

  // ---- disk-cache channel ----
  void write_queued(std::int64_t count, std::string dir) {
    apply_disk(DiskInput::queued({count, std::move(dir)}));
  }
  void write_refused() { apply_disk(DiskInput{DiskEvent::WriteRefused}); }
  void write_cancelled() { apply_disk(DiskInput{DiskEvent::WriteCancelled}); }
  void writer_stopped() { apply_disk(DiskInput::stopped(diskcache_enabled())); }
  // Takes in a done message of the writer and says what to do with its folder.
  DoneVerdict write_done(std::int64_t count, std::string dir, bool successful) {
    const DoneVerdict verdict = disk.take_done({count, std::move(dir)}, done_facts(successful));
    touch();
    return verdict;
  }
  // Says whether a write that completed at once (its folder is the attached cache) is taken in.
  DoneVerdict completed_write(std::int64_t count) const {
    return component::judge_completed(disk.state(), count, done_facts(true));
  }
  component::DoneFacts done_facts(bool successful) const {
    return {successful, status(), success_count(), diskcache_enabled()};
  }
  // Sets the stored status directly, with none of the status setter's rules.
  void assign_status(Status next) { run.commit(component::assign_status(run.state(), next)); }
  // The status setter for every status but UNCACHED (which unloads the cache).
  void mark_disk_status(DiskStatus status) { apply_disk(DiskInput::assign(status)); }
  // Lets go of the attached disk cache without deleting it: another owner keeps its folder.
  void release_diskcache() {
    py::object handle = std::exchange(diskcache_handle, py::none());
    if (!handle.is_none() && py::hasattr(handle, "close")) handle.attr("close")();
    apply_disk(DiskInput{DiskEvent::Released});
  }

  void apply_disk(const DiskInput& input) {
    disk.apply(input);
    touch();
  }

  // The summary of this component changed: drop the cached mapping and tell the pipeline.
  void touch() {
    ++info_generation;
    info_cache = py::none();
    // The pipeline's sink is a set (a sink of another type raises SystemError here).
    if (!summary_sink.is_none() && PySet_Add(summary_sink.ptr(), id.ptr()) != 0)
      throw py::error_already_set();
  }
};

// ---- the operations other engine modules call (compiled into orvane_component) ----

// Runs the component in the shell (None: outside one) and returns its last output.
py::object execute(ComponentNative& c, py::object module_statements, py::object non_module_inputs,
                   py::object parameters, py::object shell);
// Hands the run to the pool's apply_async, with the component's callbacks taking its outcome.
py::object execute_async(py::object self, py::object process_pool, py::object module_statements,
                         py::object non_module_inputs, py::object parameters);
// Enters RUNNING and returns what a worker runs, the executor's method and the pickled request;
// an unreachable remote executor fails the component and raises.
std::pair<py::object, py::object> pool_task(ComponentNative& c, py::object module_statements,
                                            py::object non_module_inputs, py::object parameters);
// Applies how a run ended: the executor's answer when `ok`, else the exception that ended it,
// recorded as the component's failure.
void complete(ComponentNative& c, bool ok, py::object value);
// Records an error that escaped the component's run, with the traceback it was raised with, as
// its failure (first dropping the results held in memory when `drop_results`). Never raises.
void fail(ComponentNative& c, py::error_already_set& error, bool drop_results = false);
// The status setter: a new status may drop the component's results.
void set_status(ComponentNative& c, Status next);
// The field from the cache that serves reads, None without one.
py::object cache_get(const ComponentNative& c, Field field);
// Rebuilds the in/out record of a component from its parents' outputs and imports (each parent a
// component, in the order they offer them).
void relink(ComponentNative& c, const std::vector<py::object>& parents);
void show_captured(const ComponentNative& c, py::handle shell);
void show_last_output(const ComponentNative& c, py::handle shell);
// Loads the cache in the folder (false when it cannot be opened; raises when its first values
// cannot be read); unloads, deletes or, with the in-memory cache, clears the caches. The folder
// is text or None: pybind11 rejects anything else from Python, naming the argument.
bool load_diskcache(ComponentNative& c, const std::optional<py::str>& cache_dir);
void unload_diskcache(ComponentNative& c);
void clear_diskcache(ComponentNative& c);
void clear_cache(ComponentNative& c);

}  // namespace orvane::vostrel
