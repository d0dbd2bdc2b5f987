// Pipeline members: the channel to the background disk-cache writer (queueing writes and
// cancellations, taking in finished writes) and the diskcache_dir property.
#include <optional>

#include "common/pyclass.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

constexpr const char* kWriterDown = "Diskcache writer does not work.";

py::object writer_of(const py::object& self) {
  return py::getattr(self, "_diskcache_writer", py::none());
}

// Closes a stopped writer and starts it again; a writer that cannot even be closed is replaced.
void restart_writer(const py::object& self) {
  try {
    self.attr("_diskcache_writer").attr("close")();
  } catch (py::error_already_set& e) {
    if (!sup::is_exception(e)) throw;
    py::object writer_cls =
        py::module_::import("orvane_core.executors").attr("OrvaneDiskcacheWriter");
    self.attr("_diskcache_writer") =
        writer_cls(py::arg("identifier") = self.attr("id"),
                   py::arg("ipykernel_connection") = self.attr("_ipykernel_connection"));
  }
  py::object writer = self.attr("_diskcache_writer");
  writer.attr("open")();
  writer.attr("start")();
}

// Where each component's queued write goes (component id -> cache_dir), and the directories of
// writes withdrawn by a cancel. The writer cannot withdraw a write that has already finished, so
// its done message may still arrive after the cancel; without this record it would look current
// (same success count, component still SUCCESSFUL) and bring back a cache the user just cleared.
py::dict attr_dict(const py::object& self, const char* name) {
  py::object value = py::getattr(self, name, py::none());
  if (value.is_none()) {
    value = py::dict();
    py::setattr(self, name, value);
  }
  return value.cast<py::dict>();
}
py::dict queued_writes(const py::object& self) { return attr_dict(self, "_diskcache_queued"); }
py::dict withdrawn_writes(const py::object& self) {
  return attr_dict(self, "_diskcache_withdrawn");
}

py::object diskcache_record(const char* status, py::object msg, py::dict successful,
                            py::dict failed) {
  py::object procedure =
      sup::misc().attr("OrvanePipelineCallbackProcedure").attr("DISKCACHE_UPDATED");
  return sup::models().attr("OrvanePipelineCallbackDataModel")(
      py::arg("procedure") = procedure, py::arg("status") = py::str(status),
      py::arg("msg") = std::move(msg), py::arg("successful") = std::move(successful),
      py::arg("failed") = std::move(failed));
}

py::dict component_entry(const py::object& component_id) {
  py::dict d;
  d["component_id"] = component_id;
  return d;
}

void put_diskcache_task(const py::object& self, const std::optional<py::str>& task_type,
                        const std::optional<py::str>& component_id) {
  py::object nodes = self.attr("nodes");
  if (!component_id || !nodes.contains(*component_id)) return;
  py::object writer = writer_of(self);
  if (!py::bool_(writer)) return;
  py::object component = nodes[*component_id];
  if (!py::bool_(writer.attr("is_alive")())) {
    component.attr("diskcache_status") = sup::diskcache_status("FAILED");
    self.attr("run_callback")();
    throw std::runtime_error(kWriterDown);
  }
  bool cancel = task_type && sup::eq(task_type->attr("lower")(), py::str("cancel"));
  py::object models = sup::models();
  py::object success_count = component.attr("success_count");
  py::object cancel_record = models.attr("OrvaneDiskCacheCancelModel")(
      py::arg("component_id") = *component_id, py::arg("success_count") = success_count);

  if (cancel) {
    writer.attr("cancel_task")(py::arg("task") = cancel_record);
    py::dict queued = queued_writes(self);
    if (queued.contains(*component_id)) {
      withdrawn_writes(self)[queued[*component_id]] = py::none();
      PyDict_DelItem(queued.ptr(), component_id->ptr());
    }
    component.attr("diskcache_status") = sup::diskcache_status("FAILED");
  } else {
    py::module_ cloudpickle = py::module_::import("cloudpickle");
    py::object dumps = cloudpickle.attr("dumps");
    try {
      dumps(component.attr("last_output"));
    } catch (py::error_already_set& e) {
      if (!sup::is_exception(e)) throw;
      component.attr("last_output") = py::none();
    }
    py::dict serialized;
    py::object outputs = component.attr("non_module_outputs");
    for (py::handle name : outputs) serialized[name] = dumps(outputs[name]);
    py::object data = models.attr("OrvaneCacheModel")(
        py::arg("module_statements") = component.attr("module_statements"),
        py::arg("non_module_outputs") = serialized,
        py::arg("last_output") = component.attr("last_output"),
        py::arg("captured") = component.attr("captured"),
        py::arg("exception_msg") = component.attr("exception_msg"),
        py::arg("outputs_summary") = component.attr("outputs_summary"));
    py::str folder = py::str("component-") + py::str(py::module_::import("uuid").attr("uuid4")());
    py::object cache_dir =
        py::module_::import("os.path").attr("join")(self.attr("diskcache_dir"), folder);
    py::object todo = models.attr("OrvaneDiskCacheTodoModel")(
        py::arg("component_id") = *component_id, py::arg("success_count") = success_count,
        py::arg("cache_dir") = cache_dir, py::arg("data") = data);
    bool accepted = py::bool_(writer.attr("put_task")(py::arg("task") = todo));
    if (accepted) queued_writes(self)[*component_id] = cache_dir;
    component.attr("diskcache_status") = sup::diskcache_status(accepted ? "UPDATING" : "FAILED");
  }
  self.attr("run_callback")();
}

// Removes the directory of a finished write that nothing will load, if it is a cache of ours.
void discard_write(const py::object& cache_dir) {
  if (cache_dir.is_none() || !py::bool_(cache_dir)) return;
  py::object record = sup::read_record(cache_dir);
  if (!record.is_none()) sup::remove_owned(cache_dir, true);
}

void mark_pending_writes_failed(const py::object& nodes) {
  py::object failed = sup::diskcache_status("FAILED");
  for (py::handle id : nodes) {
    py::object component = nodes[id];
    if (py::bool_(component.attr("use_diskcache")) && sup::write_pending(component)) {
      component.attr("diskcache_status") = failed;
    }
  }
}

void get_diskcache_messages(const py::object& self) {
  py::object writer = writer_of(self);
  if (!py::bool_(writer)) return;
  if (!py::bool_(writer.attr("is_alive")())) throw std::runtime_error(kWriterDown);
  bool stopped = false;

  py::object nodes = self.attr("nodes");
  py::object failed_status = sup::diskcache_status("FAILED");
  py::object successful = sup::component_status("SUCCESSFUL");

  // Every message of the batch is looked at: the writer has drained them, so a message skipped
  // here would be lost and its component would stay UPDATING.
  for (py::handle message : writer.attr("get_messages")()) {
    if (py::bool_(message.attr("is_stopped"))) {
      stopped = true;
      continue;
    }
    py::object component_id = message.attr("component_id");
    py::object cache_dir = message.attr("cache_dir");
    py::dict queued = queued_writes(self);
    if (queued.contains(component_id) && sup::eq(queued[component_id], cache_dir)) {
      PyDict_DelItem(queued.ptr(), component_id.ptr());
    }
    py::dict withdrawn = withdrawn_writes(self);
    if (withdrawn.contains(cache_dir)) {
      // Cancelled after it had finished: its component was marked FAILED by the cancel.
      PyDict_DelItem(withdrawn.ptr(), cache_dir.ptr());
      if (py::bool_(message.attr("is_successful"))) discard_write(cache_dir);
      continue;
    }
    if (!nodes.contains(component_id)) {
      // The component was removed from the graph meanwhile.
      if (py::bool_(message.attr("is_successful"))) discard_write(cache_dir);
      continue;
    }
    py::object component = nodes[component_id];
    if (!py::bool_(message.attr("is_successful"))) {
      component.attr("diskcache_status") = failed_status;
      self.attr("run_callback")(py::arg("data") =
                                    diskcache_record("failed", message.attr("msg"), py::dict(),
                                                     component_entry(component_id)));
      continue;
    }
    bool current = sup::eq(component.attr("success_count"), message.attr("success_count")) &&
                   sup::eq(component.attr("status"), successful) &&
                   py::bool_(component.attr("use_diskcache"));
    if (!current) {
      // Written for results the component no longer holds. Its own directory goes; whatever
      // cache the component has attached stays.
      discard_write(cache_dir);
      continue;
    }
    if (!sup::load_into_component(component, cache_dir)) {
      // Unreadable after all: never served, and not left behind.
      component.attr("diskcache_status") = failed_status;
      discard_write(cache_dir);
      self.attr("run_callback")(
          py::arg("data") = diskcache_record(
              "failed",
              py::str("The disk cache written to {} could not be loaded.").format(cache_dir),
              py::dict(), component_entry(component_id)));
      continue;
    }
    component.attr("diskcache_status") = sup::diskcache_status("CACHED");
    self.attr("run_callback")(
        py::arg("data") =
            diskcache_record("successful", py::str(""), component_entry(component_id), py::dict()));
    if (py::bool_(
            self.attr("_check_all_children_successful")(py::arg("component_id") = component_id))) {
      component.attr("clear_in_memory_cache")();
    }
  }
  if (stopped) {
    // Writes still pending were lost with the writer; one that finishes after all is loaded when
    // its message arrives, since staleness is decided by success counts.
    mark_pending_writes_failed(nodes);
    if (!py::bool_(self.attr("_diskcache_writer").attr("is_alive")())) restart_writer(self);
  }
  self.attr("run_callback")();
}

}  // namespace

void register_diskcache_channel(py::module_& /*m*/, const py::object& cls) {
  pyclass::def_property_readonly(
      cls, "diskcache_dir",
      [](const py::object& self) { return py::str(self.attr("_diskcache_dir")); },
      "Directory of the pipeline's disk caches.");
  pyclass::def(cls, "_put_diskcache_task", &put_diskcache_task, py::arg("task_type"),
               py::arg("component_id"), "Queue a disk-cache write or cancel a pending one.");
  pyclass::def(cls, "_get_diskcache_messages", &get_diskcache_messages,
               "Take in the disk-cache writes that have finished.");
  pyclass::def(
      cls, "update_diskcache_status",
      [](const py::object& self) { self.attr("_get_diskcache_messages")(); },
      "Update diskcache status of components.");
}

}  // namespace orvane::pipeline
