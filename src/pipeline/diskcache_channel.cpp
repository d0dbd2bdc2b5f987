// Pipeline members: the channel to the background disk-cache writer (queueing writes and
// cancellations, taking in finished writes) and the diskcache_dir property.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "core/cache_folders.hpp"
#include "native/writer_object.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

constexpr const char* kWriterDown = "Diskcache writer does not work.";

// The native core of the pipeline's writer: writes go to it as native data, not as records.
WriterObject& writer_of(const PipelineState& st) {
  return st.writer.attr("_core").cast<WriterObject&>();
}

// Queues the write of the component's results into a new folder. Every value is pickled once,
// with its large buffers out of band: the writer copies those without the GIL and writes the
// bytes as they are.
void queue_write(const py::object& self, PipelineState& st, const py::object& target,
                 const py::object& id, std::int64_t success_count) {
  py::object last_output = target.attr("last_output");
  if (!sup::quietly([&] { last_output = rt().serialize_value(last_output); })) {
    target.attr("last_output") = py::none();
    last_output = rt().serialize_value(py::none());
  }
  // An output that cannot be pickled fails this disk cache only, naming it; the run goes on.
  std::vector<PickledBlob> blobs;
  if (!guard::pickle_outputs(self, id, target, blobs)) return;
  py::dict meta;
  for (const char* name : {"module_statements", "captured", "exception_msg", "outputs_summary"}) {
    meta[name] = target.attr(name);
  }
  meta["fingerprint"] = guard::fingerprint(self, id);
  meta["sources"] = guard::sources_record(self, id);
  blobs.insert(blobs.begin(), {{"__meta__", "meta", rt().serialize_value(meta)},
                               {"__last_output__", "last_output", last_output}});
  const std::string cache_dir =
      join_path(py_paths::text(st.cache_dir), "component-" + random_uuid());
  comp::ComponentNative& native = comp::native(target);
  if (writer_of(st).put(text_of(id), success_count, cache_dir, blobs)) {
    native.write_queued(success_count, cache_dir);
  } else {
    native.write_refused();
  }
}

// For a component reused as it is in this run whose cache folder is still there: its write
// completes at once, without reading or writing a value, and is taken in at the next poll.
bool complete_at_once(PipelineState& st, const py::handle& id, const py::object& target,
                      std::int64_t success_count) {
  if (st.reused.erase(text_of(id)) == 0) return false;
  py::object folder = comp::diskcache_dir(target);
  if (folder.is_none() || !inspect(py_paths::text(folder), true).is_dir) return false;
  st.completed_writes.push_back({py::reinterpret_borrow<py::object>(id), success_count, folder});
  return true;
}

}  // namespace

void put_task(const py::object& self, bool cancel, const py::handle& component_id) {
  PipelineState& st = state(self);
  if (!st.nodes.contains(component_id) || !truthy(st.writer)) return;
  py::object id = py::reinterpret_borrow<py::object>(component_id), target = component(st, id);
  comp::ComponentNative& native = comp::native(target);
  if (!writer_of(st).is_alive()) {
    native.mark_disk_status(comp::DiskStatus::Failed);
    run_summary(self);
    throw std::runtime_error(kWriterDown);
  }
  const std::int64_t success_count = native.success_count();
  if (cancel) {
    writer_of(st).cancel(text_of(id), success_count);
    native.write_cancelled();
  } else if (complete_at_once(st, id, target, success_count)) {
    // Reused as it is: its cache is on disk already; the write completes without a byte.
    native.mark_disk_status(comp::DiskStatus::Updating);
  } else {
    queue_write(self, st, target, id, success_count);
  }
  run_summary(self);
}

namespace {

// Removes the directory of a finished write that nothing will load, if it is a cache of ours.
void discard_write(const std::string& path) {
  if (!path.empty() && has_cache_record(path)) sup::remove_owned(path, true);
}

// The component serves from the cache in `folder` now (loaded first unless it holds it); false
// when that cache cannot be loaded.
bool take_cache(const py::object& self, const py::object& id, const py::object& target,
                const py::object& folder, py::list& reports) {
  py::object held = comp::diskcache_dir(target);
  if ((held.is_none() || !held.equal(folder)) && !sup::load_into_component(target, folder)) {
    return false;
  }
  comp::mark_disk_cached(target);
  reports.append(guard::diskcache_record(true, py::str(""), id));
  if (children_successful(self, id)) target.attr("clear_in_memory_cache")();
  return true;
}

// Applies one finished write to its component; what the front end is to be told goes to
// `reports`.
void take_in(const py::object& self, PipelineState& st, const DoneMessage& message,
             py::list& reports) {
  const std::string& cache_dir = message.cache_dir;
  py::str id(message.component_id);
  if (!st.nodes.contains(id)) {
    // The component was removed from the graph meanwhile.
    if (message.is_successful) discard_write(cache_dir);
    return;
  }
  py::object target = component(st, id);
  switch (
      comp::native(target).write_done(message.success_count, cache_dir, message.is_successful)) {
    case comp::DoneVerdict::Withdrawn:
      // Cancelled after it had finished: its component was marked FAILED by the cancel.
      if (message.is_successful) discard_write(cache_dir);
      return;
    case comp::DoneVerdict::Failed:
      reports.append(guard::diskcache_record(false, py::str(message.msg), id));
      return;
    case comp::DoneVerdict::Stale:
      // Written for results the component no longer holds. Its own directory goes; whatever
      // cache the component has attached stays.
      discard_write(cache_dir);
      return;
    case comp::DoneVerdict::Load:
      break;
  }
  py::str folder = py_paths::str(cache_dir);
  if (!take_cache(self, id, target, folder, reports)) {
    // Unreadable after all: never served, and not left behind.
    comp::mark_disk_failed(target);
    discard_write(cache_dir);
    reports.append(guard::diskcache_record(
        false, py::str("The disk cache written to {} could not be loaded.").format(folder), id));
  }
}

}  // namespace

void take_messages(const py::object& self) {
  PipelineState& st = state(self);
  if (!truthy(st.writer)) return;
  if (!writer_of(st).is_alive()) throw std::runtime_error(kWriterDown);
  bool stopped = false;
  // Every state change is applied before any report is sent: a callback that raises (or an
  // interrupt inside it) must not leave the rest of the batch untaken.
  py::list reports;
  // Writes that completed at once come first: the reused component keeps the cache it has
  // attached (its values stay read), unless a cancel or a new run came between. The list is
  // handed over whole; later completions go to a fresh one.
  for (const auto& done : std::exchange(st.completed_writes, {})) {
    if (!st.nodes.contains(done.component_id)) continue;
    py::object target = component(st, done.component_id);
    if (comp::native(target).completed_write(done.success_count) == comp::DoneVerdict::Load) {
      take_cache(self, done.component_id, target, done.folder, reports);
    }
  }
  // Every message of the batch is looked at: the writer has drained them, so a message skipped
  // here would be lost and its component would stay UPDATING.
  for (const DoneMessage& message : writer_of(st).drain()) {
    if (message.is_stopped) {
      stopped = true;
    } else {
      take_in(self, st, message, reports);
    }
  }
  if (stopped) {
    // Writes still pending were lost with the writer; one that finishes after all is loaded when
    // its message arrives, since staleness is decided by success counts.
    py::dict nodes = st.nodes;
    for (const auto& item : nodes) comp::native(item.second).writer_stopped();
    if (!writer_of(st).is_alive()) restart_writer(st);
  }
  for (const py::handle& report : reports) {
    run_callback(self, py::reinterpret_borrow<py::object>(report));
  }
  run_summary(self);
}

void restart_writer(PipelineState& st) {
  if (!st.writer.is_none() && !sup::quietly([&] { st.writer.attr("close")(); })) {
    st.writer = py::none();
  }
  if (st.writer.is_none()) {
    st.writer = rt().writer_class(py::arg("identifier") = st.id,
                                  py::arg("ipykernel_connection") = st.connection);
  }
  st.writer.attr("open")();
  st.writer.attr("start")();
}

void stop_writer(PipelineState& st) { std::exchange(st.writer, py::none()).attr("close")(); }

bool cancel_pending_write(const py::object& self, const py::handle& component_id) {
  if (!model::cancel_on_interrupt(comp::facts(component(state(self), component_id)))) return false;
  put_task(self, true, component_id);
  return true;
}

void cancel_pending_writes(const py::object& self) {
  py::dict nodes = state(self).nodes;
  for (const auto& item : nodes) {
    // FAILED also when there is no writer to tell: the write is given up either way.
    if (cancel_pending_write(self, item.first)) comp::mark_disk_failed(item.second);
  }
}

void register_diskcache_channel(py::module_& /*m*/, const py::object& cls) {
  pyclass::def_property_readonly(
      cls, "diskcache_dir", [](const PipelineState& st) { return py::str(st.cache_dir); },
      "Directory of the pipeline's disk caches.");
  pyclass::def(
      cls, "_put_diskcache_task",
      [](const py::object& self, const std::optional<py::str>& task_type,
         const std::optional<py::str>& component_id) {
        // Text that is not UTF-8 (a lone surrogate) is certainly not "cancel".
        if (component_id)
          put_task(self, task_type && is_cancel_task(py_values::utf8(*task_type)), *component_id);
      },
      py::arg("task_type"), py::arg("component_id"),
      "Queue a disk-cache write or cancel a pending one.");
  for (const char* name : {"_get_diskcache_messages", "update_diskcache_status"}) {
    pyclass::def(cls, name, &take_messages, "Take in the disk-cache writes that have finished.");
  }
}

}  // namespace orvane::pipeline
