// Pipeline members: the cache commands (adopting a directory of disk caches, unloading,
// enabling and disabling disk caching, clearing caches) and the clean-up run at exit.
#include <optional>
#include <string>
#include <vector>

#include "common/pyclass.hpp"
#include "core/cache_adoption.hpp"
#include "core/cache_paths.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/ownership.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

// The component and its ancestors (or descendants), in the node map's order.
std::vector<py::object> related(const py::object& self, const std::optional<py::str>& component_id,
                                const char* relation) {
  py::object graph = self.attr("nx_graph");
  py::object key = component_id ? py::object(*component_id) : py::object(py::none());
  // networkx rejects a node that is not in the graph before anything is changed.
  py::object others = py::module_::import("networkx").attr(relation)(graph, key);
  std::vector<py::object> ids;
  py::object nodes = self.attr("nodes");
  for (py::handle id : nodes) {
    if (id.equal(key) || others.contains(id)) ids.push_back(py::reinterpret_borrow<py::object>(id));
  }
  return ids;
}

void cancel_if_updating(const py::object& self, const py::object& component_id) {
  py::object component = self.attr("nodes")[component_id];
  if (sup::write_pending(component)) {
    self.attr("_put_diskcache_task")(py::arg("task_type") = "cancel",
                                     py::arg("component_id") = component_id);
  }
}

void load_diskcache(const py::object& self, const std::optional<py::str>& diskcache_dir) {
  if (!diskcache_dir) throw py::value_error("A disk-cache directory is required.");
  // Adopting unpickles what is there: only from a directory no one else can change.
  if (std::string problem = unsafe_path_problem(diskcache_dir->cast<std::string>());
      !problem.empty()) {
    throw std::runtime_error(problem);
  }
  py::module_ os = py::module_::import("os");
  py::object join = os.attr("path").attr("join");
  py::list names = os.attr("listdir")(*diskcache_dir);

  std::vector<CacheDirEntry> entries;
  entries.reserve(names.size());
  for (py::handle name : names) {
    entries.push_back(sup::describe_entry(*diskcache_dir, py::reinterpret_borrow<py::str>(name)));
  }
  py::object nodes = self.attr("nodes");
  std::vector<std::string> ids;
  for (py::handle id : nodes) ids.push_back(py::str(id).cast<std::string>());
  AdoptionPlan plan = plan_adoption(entries, ids);

  for (const CacheLoad& load : plan.loads) {
    py::object component = nodes[py::str(load.component_id)];
    component.attr("use_diskcache") = true;
    sup::load_into_component(component, join(*diskcache_dir, load.entry_name));
  }
  // Only what is provably this product's is deleted: the directory may be a user's folder. A
  // directory that a component holds is never deleted from under it.
  py::object abspath = os.attr("path").attr("abspath");
  py::set attached;
  for (py::handle id : nodes) {
    py::object dir = nodes[id].attr("diskcache_dir");
    if (!dir.is_none()) attached.add(abspath(dir));
  }
  for (const std::string& name : plan.removals) {
    py::object path = join(*diskcache_dir, name);
    if (attached.contains(abspath(path))) continue;
    bool has_record = false;
    for (const CacheDirEntry& e : entries) {
      if (e.name == name) has_record = e.has_record;
    }
    sup::remove_owned(path, has_record);
  }
  for (py::handle id : nodes) self.attr("update_component_info")(py::arg("component_id") = id);
  self.attr("_diskcache_dir") = py::module_::import("pathlib").attr("Path")(*diskcache_dir);
  self.attr("run_callback")();
}

void unload_diskcache(const py::object& self) {
  py::object nodes = self.attr("nodes");
  for (py::handle id : nodes) nodes[id].attr("unload_diskcache")();
  self.attr("run_callback")();
}

void enable_component_diskcache(const py::object& self,
                                const std::optional<py::str>& component_id) {
  py::object nodes = self.attr("nodes");
  for (const py::object& id : related(self, component_id, "ancestors")) {
    nodes[id].attr("use_diskcache") = true;
  }
  self.attr("run_callback")();
}

void disable_component_diskcache(const py::object& self,
                                 const std::optional<py::str>& component_id) {
  py::object nodes = self.attr("nodes");
  for (const py::object& id : related(self, component_id, "descendants")) {
    cancel_if_updating(self, id);
    nodes[id].attr("use_diskcache") = false;
  }
  self.attr("run_callback")();
}

void clear_component_cache(const py::object& self, const std::optional<py::str>& component_id) {
  py::object nodes = self.attr("nodes");
  for (const py::object& id : related(self, component_id, "descendants")) {
    cancel_if_updating(self, id);
    nodes[id].attr("clear_cache")();
  }
  self.attr("run_callback")();
}

void clear_all_cache(const py::object& self) {
  py::object nodes = self.attr("nodes");
  for (py::handle id : nodes) nodes[id].attr("clear_cache")();
  self.attr("run_callback")();
}

// The clean-up proper: every component's disk cache, then the directories that are the caches'
// own, then the directory itself if nothing else is left in it.
void remove_owned_caches(const py::object& self, const py::module_& os, const py::object& dir) {
  py::object nodes = py::getattr(self, "nodes", py::dict());
  for (py::handle id : nodes) nodes[id].attr("clear_diskcache")();

  // Only the caches' own directories go; anything else a user put here stays, and with it the
  // directory.
  py::object join = os.attr("path").attr("join");
  py::list names = os.attr("listdir")(dir);
  for (py::handle name : names) {
    CacheDirEntry entry = sup::describe_entry(dir, py::reinterpret_borrow<py::str>(name));
    if (owned_by_cache(entry)) sup::remove_owned(join(dir, name), entry.has_record);
  }
  py::list left = os.attr("listdir")(dir);
  py::object layout_file = join(dir, "pipeline.json");
  bool only_layout = left.size() == 0 ||
                     (left.size() == 1 && py::str(left[0]).cast<std::string>() == "pipeline.json" &&
                      py::bool_(os.attr("path").attr("isfile")(layout_file)));
  if (only_layout) {
    try {
      if (left.size() == 1) os.attr("remove")(layout_file);
      os.attr("rmdir")(dir);
    } catch (py::error_already_set& e) {
      if (!sup::is_exception(e)) throw;
    }
  }
}

// Also runs at interpreter exit and from the destructor, possibly on an object whose
// construction failed half-way, so missing attributes mean there is nothing to clean.
void clear_all_diskcache(const py::object& self) {
  // Late in interpreter shutdown nothing can be imported any more; the exit handler has run.
#if PY_VERSION_HEX >= 0x030D0000
  if (Py_IsFinalizing()) return;
#else
  if (_Py_IsFinalizing()) return;
#endif
  py::object loaded_os = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str("os").ptr()));
  if (!loaded_os || loaded_os.is_none()) {
    PyErr_Clear();
    return;
  }
  // Only the owner deletes: not a pipeline whose directory went to a newer one, and not a child
  // forked from the kernel that created it.
  if (!ownership::is_owner(self)) return;
  py::object dir_value = py::getattr(self, "_diskcache_dir", py::none());
  if (dir_value.is_none()) return;
  py::module_ os = py::module_::import("os");
  py::object dir = os.attr("fspath")(dir_value);
  if (!py::bool_(os.attr("path").attr("isdir")(dir))) return;

  // A write still in progress would rename its directory into place after the clean-up. The
  // writer is stopped for the clean-up (it finishes the write in progress and drops the queue)
  // and started again afterwards, so the pipeline stays usable.
  py::object writer = py::getattr(self, "_diskcache_writer", py::none());
  bool restart = false;
  if (py::bool_(writer)) {
    try {
      restart = py::bool_(writer.attr("is_alive")());
      writer.attr("close")();
    } catch (py::error_already_set& e) {
      if (!sup::is_exception(e)) throw;
      restart = false;
    }
  }

  try {
    remove_owned_caches(self, os, dir);
  } catch (...) {
    if (restart) {
      writer.attr("open")();
      writer.attr("start")();
    }
    throw;
  }
  if (restart) {
    writer.attr("open")();
    writer.attr("start")();
  }
}

}  // namespace

void register_cache_commands(py::module_& /*m*/, const py::object& cls) {
  pyclass::def(cls, "load_diskcache", &load_diskcache, py::arg("diskcache_dir"),
               "Adopt a directory of disk caches.");
  pyclass::def(cls, "unload_diskcache", &unload_diskcache, "Unload diskcache of all components.");
  pyclass::def(cls, "enable_component_diskcache", &enable_component_diskcache,
               py::arg("component_id"), "Enable diskcache of a component and its ancestors.");
  pyclass::def(cls, "disable_component_diskcache", &disable_component_diskcache,
               py::arg("component_id"), "Disable diskcache of a component and its descendants.");
  pyclass::def(cls, "clear_component_cache", &clear_component_cache, py::arg("component_id"),
               "Clear caches of a component and its descendants.");
  pyclass::def(cls, "clear_all_cache", &clear_all_cache, "Clear caches of all components.");
  pyclass::def(cls, "clear_all_diskcache", &clear_all_diskcache,
               "Delete the disk caches of the pipeline.");
}

}  // namespace orvane::pipeline
