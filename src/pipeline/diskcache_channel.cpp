// Pipeline members: the channel to the background disk-cache writer (queueing writes and
// cancellations, taking in finished writes) and the diskcache_dir property.
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "core/cache_folders.hpp"
#include "core/cache_writer.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

constexpr const char* kWriterDown = "Diskcache writer does not work.";

py::object diskcache_record(bool ok, const py::object& msg, const py::handle& id) {
  return ok ? outcome_record(rt().procedure_diskcache, true, msg, component_entry(id))
            : outcome_record(rt().procedure_diskcache, false, msg, py::dict(), component_entry(id));
}

// --- The hand-off to the writer and the messages back: the only places that know the
// writer's task and message formats.

void withdraw_write(const PipelineState& st, const py::handle& component_id,
                    std::int64_t success_count) {
  py::object task = sup::models().attr("OrvaneDiskCacheCancelModel")(
      py::arg("component_id") = component_id, py::arg("success_count") = success_count);
  st.writer.attr("cancel_task")(py::arg("task") = task);
}

// Queues the write of the component's results (outputs and last output already serialised,
// each once) into `cache_dir`; true when the writer accepted it.
bool hand_off_write(const PipelineState& st, const py::handle& component, const py::handle& id,
                    std::int64_t success_count, const py::object& cache_dir,
                    const py::object& serialized, const py::object& last_output,
                    const py::object& fingerprint, const py::object& sources) {
  py::object models = sup::models();
  py::object data = models.attr("OrvaneCacheModel")(
      py::arg("module_statements") = component.attr("module_statements"),
      py::arg("non_module_outputs") = serialized, py::arg("last_output") = last_output,
      py::arg("captured") = component.attr("captured"),
      py::arg("exception_msg") = component.attr("exception_msg"),
      py::arg("outputs_summary") = component.attr("outputs_summary"),
      py::arg("fingerprint") = fingerprint, py::arg("sources") = sources);
  py::object todo = models.attr("OrvaneDiskCacheTodoModel")(
      py::arg("component_id") = id, py::arg("success_count") = success_count,
      py::arg("cache_dir") = cache_dir, py::arg("data") = data);
  return truthy(st.writer.attr("put_task")(py::arg("task") = todo));
}

// One finished (or failed) write, or the writer's stop notice.
struct DoneMessage {
  bool stopped = false;
  bool successful = false;
  py::object component_id, cache_dir, msg;
  std::int64_t success_count = 0;
};

std::vector<DoneMessage> fetch_messages(const PipelineState& st) {
  std::vector<DoneMessage> out;
  for (py::handle message : st.writer.attr("get_messages")()) {
    DoneMessage done;
    done.stopped = truthy(message.attr("is_stopped"));
    if (!done.stopped) {
      done.successful = truthy(message.attr("is_successful"));
      done.component_id = message.attr("component_id");
      done.cache_dir = message.attr("cache_dir");
      done.success_count = message.attr("success_count").cast<std::int64_t>();
      done.msg = message.attr("msg");
    }
    out.push_back(std::move(done));
  }
  return out;
}

// --- The channel's rules, on the pipeline's and the components' state.

bool is_cancel(const py::str& task_type) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(task_type.ptr(), &size);
  if (text == nullptr) PyErr_Clear();  // not UTF-8 (a lone surrogate): certainly not "cancel"
  return text != nullptr && is_cancel_task(std::string_view(text, static_cast<std::size_t>(size)));
}

}  // namespace

void put_task(const py::object& self, bool cancel, const py::handle& id) {
  PipelineState& st = state(self);
  const py::object component_id = py::reinterpret_borrow<py::object>(id);
  if (!st.nodes.contains(component_id) || !truthy(st.writer)) return;
  py::object target = component(st, component_id);
  comp::ComponentNative& native = comp::native(target);
  if (!truthy(st.writer.attr("is_alive")())) {
    native.mark_disk_status(comp::DiskStatus::Failed);
    run_summary(self);
    throw std::runtime_error(kWriterDown);
  }
  const std::int64_t success_count = native.success_count();
  if (cancel) {
    withdraw_write(st, component_id, success_count);
    native.write_cancelled();
  } else if (guard::complete_at_once(self, component_id, target, success_count)) {
    // Reused as it is: its cache is on disk already; the write completes without a byte.
    native.mark_disk_status(comp::DiskStatus::Updating);
  } else {
    // Every value is pickled once, with its large buffers out of band: the writer copies those
    // without the GIL and writes the pickled bytes as they are.
    py::object last_output = py::none();
    if (!sup::quietly([&] { last_output = rt().serialize_value(target.attr("last_output")); })) {
      target.attr("last_output") = py::none();
    }
    // An output that cannot be pickled fails this disk cache only, naming it; the run goes on.
    py::object serialized = guard::pickle_outputs(self, component_id, target);
    if (serialized.is_none()) {
      run_summary(self);
      return;
    }
    py::object cache_dir =
        py_paths::str(join_path(py_paths::text(st.cache_dir), "component-" + random_uuid()));
    const bool accepted =
        hand_off_write(st, target, component_id, success_count, cache_dir, serialized, last_output,
                       guard::fingerprint(self, component_id),
                       guard::sources_record(guard::sources(self, component_id)));
    if (accepted) {
      native.write_queued(success_count, py_values::text_or_empty(cache_dir));
    } else {
      native.write_refused();
    }
  }
  run_summary(self);
}

namespace {

// Removes the directory of a finished write that nothing will load, if it is a cache of ours.
void discard_write(const py::object& cache_dir) {
  if (cache_dir.is_none() || !truthy(cache_dir)) return;
  const std::string path = py_paths::text(cache_dir);
  if (has_cache_record(path)) sup::remove_owned(path, true);
}

// Applies one finished write to its component; what the front end is to be told goes to
// `reports`.
void take_in(const py::object& self, PipelineState& st, const DoneMessage& done,
             py::list& reports) {
  if (!st.nodes.contains(done.component_id)) {
    // The component was removed from the graph meanwhile.
    if (done.successful) discard_write(done.cache_dir);
    return;
  }
  py::object target = component(st, done.component_id);
  switch (comp::native(target).write_done(
      done.success_count, py_values::text_or_empty(done.cache_dir), done.successful)) {
    case comp::DoneVerdict::Withdrawn:
      // Cancelled after it had finished: its component was marked FAILED by the cancel.
      if (done.successful) discard_write(done.cache_dir);
      return;
    case comp::DoneVerdict::Failed:
      reports.append(diskcache_record(false, done.msg, done.component_id));
      return;
    case comp::DoneVerdict::Stale:
      // Written for results the component no longer holds. Its own directory goes; whatever
      // cache the component has attached stays.
      discard_write(done.cache_dir);
      return;
    case comp::DoneVerdict::Load:
      break;
  }
  if (!sup::load_into_component(target, done.cache_dir)) {
    // Unreadable after all: never served, and not left behind.
    comp::mark_disk_failed(target);
    discard_write(done.cache_dir);
    reports.append(diskcache_record(
        false, py::str("The disk cache written to {} could not be loaded.").format(done.cache_dir),
        done.component_id));
    return;
  }
  comp::mark_disk_cached(target);
  reports.append(diskcache_record(true, py::str(""), done.component_id));
  if (children_successful(self, done.component_id)) target.attr("clear_in_memory_cache")();
}

// A write that completed at once: the reused component keeps the cache it has attached (its
// values stay read), unless a cancel or a new run came between.
void take_in_completed(const py::object& self, PipelineState& st,
                       const PipelineState::CompletedWrite& completed, py::list& reports) {
  const py::object& id = completed.component_id;
  if (!st.nodes.contains(id)) return;
  py::object target = component(st, id);
  if (comp::native(target).completed_write(completed.success_count) != comp::DoneVerdict::Load) {
    return;
  }
  py::object cache = comp::attached_diskcache(target);
  if (cache.is_none() || !py::object(cache.attr("cache_dir")).equal(completed.folder)) {
    if (!sup::load_into_component(target, completed.folder)) return;
  }
  comp::mark_disk_cached(target);
  reports.append(diskcache_record(true, py::str(""), id));
  if (children_successful(self, id)) target.attr("clear_in_memory_cache")();
}

}  // namespace

void take_messages(const py::object& self) {
  PipelineState& st = state(self);
  if (!truthy(st.writer)) return;
  if (!truthy(st.writer.attr("is_alive")())) throw std::runtime_error(kWriterDown);
  bool stopped = false;
  // Every state change is applied before any report is sent: a callback that raises (or an
  // interrupt inside it) must not leave the rest of the batch untaken. Writes that completed at
  // once (reused components) come first.
  py::list reports;
  // Handed over whole; later completions go to a fresh list.
  for (const auto& completed : std::exchange(st.completed_writes, {})) {
    take_in_completed(self, st, completed, reports);
  }
  // Every message of the batch is looked at: the writer has drained them, so a message skipped
  // here would be lost and its component would stay UPDATING.
  for (const DoneMessage& done : fetch_messages(st)) {
    if (done.stopped) {
      stopped = true;
      continue;
    }
    take_in(self, st, done, reports);
  }
  if (stopped) {
    // Writes still pending were lost with the writer; one that finishes after all is loaded when
    // its message arrives, since staleness is decided by success counts.
    py::dict nodes = st.nodes;
    for (const auto& item : nodes) comp::native(item.second).writer_stopped();
    if (!truthy(st.writer.attr("is_alive")())) restart_writer(st);
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
        if (component_id) put_task(self, task_type && is_cancel(*task_type), *component_id);
      },
      py::arg("task_type"), py::arg("component_id"),
      "Queue a disk-cache write or cancel a pending one.");
  pyclass::def(cls, "_get_diskcache_messages", &take_messages,
               "Take in the disk-cache writes that have finished.");
  pyclass::def(cls, "update_diskcache_status", &take_messages,
               "Update diskcache status of components.");
}

}  // namespace orvane::pipeline
