// Pipeline members: the channel to the background disk-cache writer (queueing writes and
// cancellations, taking in finished writes), the diskcache_dir property, and the cache guard of
// cache_guard.hpp (misses instead of errors, fingerprints, stale caches).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
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

using namespace pybind11::literals;

namespace guard {

namespace {

// The walk over the graph's nodes: code from the components, parameter text per component.
model::FingerprintWalk new_walk(PipelineState& st, const GraphObject& graph) {
  return model::FingerprintWalk(
      graph.dag,
      [&st, &graph](std::size_t node) {
        return text_of(comp::cell_code(component(st, graph.id(node))));
      },
      [&st, &graph](std::size_t node) { return parameter_text(st, graph.id(node)); });
}

// The inputs behind the component's fingerprint now.
model::Sources sources(PipelineState& st, const py::handle& component_id) {
  const GraphObject& graph = pipeline::graph(st);
  model::Sources out;
  out.code = model::digest(text_of(comp::cell_code(component(st, component_id))));
  out.parameters = parameter_sources(st, component_id);
  for (std::size_t parent : graph.dag.predecessors(node_of(graph, component_id))) {
    const py::object& id = graph.id(parent);
    out.parents[text_of(id)] = fingerprint(st, id);
  }
  return out;
}

// The record telling the front end how a component's disk cache fared.
py::object diskcache_record(bool ok, const py::handle& msg, const py::handle& component_id) {
  py::dict entry("component_id"_a = component_id), empty;
  return outcome_record(kept("orvane_core.misc:OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED"),
                        ok, msg, ok ? entry : empty, ok ? empty : entry);
}

}  // namespace

void report_failure(const py::object& self, const py::handle& component_id,
                    const py::handle& reason) {
  comp::mark_disk_failed(component(state(self), component_id));
  run_callback(self, diskcache_record(false, reason, component_id));
}

bool serve_or_miss(const py::object& self, const py::object& component_id,
                   const py::object& component) {
  py::object cache = comp::attached_diskcache(component);
  // Everything the component serves, read once: what is pushed into the shell and handed to
  // children afterwards comes from what was read here.
  py::object error = cache.is_none() ? py::none() : cache.attr("read_all")();
  if (error.is_none()) return true;
  vostrel::unload_diskcache(comp::native(component));
  report_failure(self, component_id,
                 py::str("The disk cache of component [{}] cannot be read ({}); it runs again.")
                     .format(comp::native(component).name, error));
  return false;
}

std::string fingerprint(PipelineState& st, const py::handle& component_id) {
  const GraphObject& graph = pipeline::graph(st);
  const std::size_t node = node_of(graph, component_id);
  if (!st.fingerprints.active) return new_walk(st, graph).of(node);
  // Any change of a parameter value changes the text and so resets the walk.
  return st.fingerprints
      .walk_for(&graph, st.graph_version, parameter_text(st, py::none()),
                [&] { return new_walk(st, graph); })
      .of(node);
}

std::optional<model::Reason> stale_reason(PipelineState& st, const py::handle& component_id,
                                          const std::string& path, std::string& recorded) {
  using Digests = std::map<std::string, std::string>;
  using Inputs = std::tuple<std::string, std::string, Digests, Digests>;
  model::Sources before;
  // Unreadable: loading it fails and is handled as any failed load. A handle on the folder reads
  // only the fields asked for; inputs it does not record read as unknown.
  if (!py_values::quietly([&] {
        py::object cache =
            py_values::lookup("orvane_core.cache:OrvaneDiskCache")(py_paths::str(path));
        std::tie(recorded, before.code, before.parameters, before.parents) =
            cache.attr("recorded_inputs")().cast<Inputs>();
      }) ||
      recorded.empty() || recorded == fingerprint(st, component_id)) {
    return std::nullopt;
  }
  return model::what_changed(before, sources(st, component_id));
}

}  // namespace guard

namespace {

namespace sup = support;

constexpr const char* kWriterDown = "Diskcache writer does not work.";

// The component's results pickled for the writer, or none after reporting the output that
// cannot be pickled. With them goes what they were computed from, and the inputs behind it: an
// adoption tells a stale cache from a current one, and why it is stale.
std::optional<std::vector<PickledBlob>> pickle_results(const py::object& self,
                                                       const py::object& id) {
  PipelineState& st = state(self);
  const model::Sources now = guard::sources(st, id);
  py::object blobs = kept("orvane_core.executors.diskcache_writer:pickle_results")(
      component(st, id), guard::fingerprint(st, id),
      py::dict("code"_a = now.code, "parameters"_a = now.parameters, "parents"_a = now.parents));
  if (!py::isinstance<py::str>(blobs)) return blobs.cast<std::vector<PickledBlob>>();
  guard::report_failure(self, id, blobs);
  return std::nullopt;
}

// The component a write of `component_id` is for, or None when there is no such component or no
// writer. A writer that stopped working fails the component's disk cache, reported.
py::object write_target(const py::object& self, PipelineState& st, const py::handle& id) {
  if (!st.nodes.contains(id) || !truthy(st.writer)) return py::none();
  py::object target = component(st, id);
  if (!sup::writer_of(st).is_alive()) {
    comp::mark_disk_failed(target);
    run_summary(self);
    throw std::runtime_error(kWriterDown);
  }
  return target;
}

// Every child of the component is SUCCESSFUL: none reads its results from memory any more.
bool children_successful(const PipelineState& st, const py::handle& component_id) {
  const GraphObject& graph = pipeline::graph(st);
  return model::all_children_successful(graph.dag, node_of(graph, component_id),
                                        facts_of(st, graph));
}

// Applies one finished write to its component: a message of the writer, or one that completed
// at once (`at_once`), whose folder is the component's own cache and is never discarded. What the
// front end is to be told goes to `reports`.
void take_in(PipelineState& st, const DoneMessage& message, bool at_once,
             std::vector<py::object>& reports) {
  py::str id(message.component_id);
  const std::string& folder = message.cache_dir;
  // A component removed from the graph meanwhile takes nothing in.
  const bool known = st.nodes.contains(id);
  py::object target = known ? component(st, id) : py::object(py::none());
  comp::DoneVerdict verdict = comp::DoneVerdict::Withdrawn;
  if (known) {
    comp::ComponentNative& native = comp::native(target);
    verdict = at_once ? native.completed_write(message.success_count)
                      : native.write_done(message.success_count, folder, message.is_successful);
  }
  if (verdict == comp::DoneVerdict::Failed) {
    // The writer's error names the folder in file-system bytes, which need not be UTF-8: read
    // strictly, it would raise here and lose the rest of the drained batch.
    reports.push_back(guard::diskcache_record(false, py_paths::str(message.msg), id));
  } else if (verdict != comp::DoneVerdict::Load) {
    // Withdrawn (its component gone, or cancelled after it had finished: the cancel marked it
    // FAILED) or written for results the component no longer holds: its own directory goes;
    // whatever cache the component has attached stays.
    if (!at_once && message.is_successful) discard_cache(folder);
  } else if (sup::folder_of(target) != folder && !sup::load_into_component(target, folder)) {
    // The component serves from the cache in `folder` now (loaded first unless it holds it).
    // One that cannot be loaded after all is never served, and not left behind.
    comp::mark_disk_failed(target);
    discard_cache(folder);
    py::str text("The disk cache written to {} could not be loaded.");
    reports.push_back(guard::diskcache_record(false, text.format(py_paths::str(folder)), id));
  } else {
    comp::mark_disk_cached(target);
    reports.push_back(guard::diskcache_record(true, py::str(""), id));
    if (children_successful(st, id)) comp::native(target).clear_memory_cache();
  }
}

}  // namespace

void queue_write(const py::object& self, const py::object& component_id) {
  PipelineState& st = state(self);
  py::object target = write_target(self, st, component_id);
  if (target.is_none()) return;
  comp::ComponentNative& native = comp::native(target);
  const std::int64_t success_count = native.success_count();
  const std::string id = text_of(component_id);
  std::string folder = sup::folder_of(target);
  if (st.reused.erase(id) != 0 && !folder.empty() && inspect(folder, true).is_dir) {
    // Reused as it is in this run and its cache folder is still there: the write completes at
    // once, without reading or writing a value, and is taken in at the next poll (as a
    // successful write: nothing was written that could fail).
    st.completed_writes.push_back({false, id, success_count, std::move(folder), true, ""});
    native.mark_disk_status(comp::DiskStatus::Updating);
  } else if (auto blobs = pickle_results(self, component_id)) {
    // Into a new folder. Every value is pickled once, with its large buffers out of band: the
    // writer copies those without the GIL and writes the bytes as they are. An output that
    // cannot be pickled failed this disk cache only, naming it; the run goes on.
    const std::string cache_dir =
        join_path(py_paths::text(st.cache_dir), "component-" + random_uuid());
    if (sup::writer_of(st).put(id, success_count, cache_dir, *blobs)) {
      native.write_queued(success_count, cache_dir);
    } else {
      native.write_refused();
    }
  }
  run_summary(self);
}

void withdraw_write(const py::object& self, const py::handle& component_id) {
  PipelineState& st = state(self);
  py::object target = write_target(self, st, component_id);
  if (target.is_none()) return;
  comp::ComponentNative& native = comp::native(target);
  sup::writer_of(st).cancel(text_of(component_id), native.success_count());
  native.write_cancelled();
  run_summary(self);
}

void take_messages(const py::object& self) {
  PipelineState& st = state(self);
  if (!truthy(st.writer)) return;
  if (!sup::writer_of(st).is_alive()) throw std::runtime_error(kWriterDown);
  bool stopped = false;
  // Every state change is applied before any report is sent: a callback that raises (or an
  // interrupt inside it) must not leave the rest of the batch untaken.
  std::vector<py::object> reports;
  // Writes that completed at once come first: the reused component keeps the cache it has
  // attached (its values stay read), unless a cancel or a new run came between. The list is
  // handed over whole; later completions go to a fresh one.
  for (const DoneMessage& done : std::exchange(st.completed_writes, {})) {
    take_in(st, done, true, reports);
  }
  // Every message of the batch is looked at: the writer has drained them, so a message skipped
  // here would be lost and its component would stay UPDATING.
  for (const DoneMessage& message : sup::writer_of(st).drain()) {
    stopped |= message.is_stopped;
    if (!message.is_stopped) take_in(st, message, false, reports);
  }
  if (stopped) {
    // Writes still pending were lost with the writer; one that finishes after all is loaded when
    // its message arrives, since staleness is decided by success counts.
    sup::each_component(st, [](comp::ComponentNative& c) { c.writer_stopped(); });
    if (!sup::writer_of(st).is_alive()) restart_writer(st);
  }
  for (const py::object& report : reports) run_callback(self, report);
  run_summary(self);
}

void restart_writer(PipelineState& st) {
  st.writer =
      kept("orvane_core.executors.diskcache_writer:restarted")(st.writer, st.id, st.connection);
}

void stop_writer(PipelineState& st) { std::exchange(st.writer, py::none()).attr("close")(); }

bool cancel_pending_write(const py::object& self, const py::handle& component_id) {
  if (!model::cancel_on_interrupt(comp::facts(component(state(self), component_id)))) return false;
  withdraw_write(self, component_id);
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
        if (!component_id) return;
        // Text that is not UTF-8 (a lone surrogate) is certainly not "cancel".
        const bool cancel = task_type && is_cancel_task(py_values::utf8(*task_type));
        cancel ? withdraw_write(self, *component_id) : queue_write(self, *component_id);
      },
      py::arg("task_type"), py::arg("component_id"),
      "Queue a disk-cache write or cancel a pending one.");
  pyclass::def(cls, "_check_all_children_successful", &children_successful,
               py::arg("component_id"));
  for (const char* name : {"_get_diskcache_messages", "update_diskcache_status"}) {
    pyclass::def(cls, name, &take_messages, "Take in the disk-cache writes that have finished.");
  }
}

}  // namespace orvane::pipeline
