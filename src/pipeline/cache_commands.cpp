// Pipeline members: the cache commands (adopting a directory of disk caches, unloading,
// enabling and disabling disk caching, clearing caches) and the clean-up run at exit.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "core/cache_adoption.hpp"
#include "core/cache_folders.hpp"
#include "core/cache_paths.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/ownership.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

// The component and its ancestors (or descendants), in the node map's order.
std::vector<py::object> related(const PipelineState& st, const std::optional<py::str>& component_id,
                                bool ancestors) {
  const GraphObject& graph = pipeline::graph(st);
  py::object key = component_id ? py::object(*component_id) : py::object(py::none());
  // An unknown component is rejected before anything is changed.
  const std::size_t node = node_of(graph, key);
  std::vector<bool> member(graph.dag.size(), false);
  member[node] = true;
  for (std::size_t n : ancestors ? graph.dag.ancestors(node) : graph.dag.descendants(node)) {
    member[n] = true;
  }
  std::vector<py::object> ids;
  py::dict nodes = st.nodes;
  for (const auto& item : nodes) {
    if (!PyUnicode_Check(item.first.ptr())) continue;
    const long index = graph.dag.index_of(item.first.cast<std::string>());
    if (index >= 0 && member[static_cast<std::size_t>(index)]) {
      ids.push_back(py::reinterpret_borrow<py::object>(item.first));
    }
  }
  return ids;
}

void cancel_if_updating(const py::object& self, const PipelineState& st, const py::object& id) {
  if (comp::write_pending(component(st, id))) put_task(self, true, id);
}

}  // namespace

// With `component_ids`, only those components take their caches from the directory: the
// others keep what they hold, unread and unchecked again (a notebook adopts the caches of its
// components one declaration at a time).
void load_diskcache(const py::object& self, const std::optional<py::str>& diskcache_dir,
                    const py::object& component_ids) {
  if (!diskcache_dir) throw py::value_error("A disk-cache directory is required.");
  // Adopting unpickles what is there: only from a directory no one else can change.
  if (std::string problem = unsafe_path_problem(diskcache_dir->cast<std::string>());
      !problem.empty()) {
    throw std::runtime_error(problem);
  }
  PipelineState& st = state(self);
  const std::string dir = py_paths::text(*diskcache_dir);
  const std::vector<std::string> names = py_paths::list(dir);
  std::vector<CacheDirEntry> entries;
  entries.reserve(names.size());
  for (const std::string& name : names) entries.push_back(describe_cache_entry(dir, name));
  py::dict nodes = st.nodes;
  std::vector<std::string> ids;
  for (const auto& item : nodes) ids.push_back(py::str(item.first).cast<std::string>());
  std::optional<std::unordered_set<std::string>> only;
  if (!component_ids.is_none()) {
    only.emplace();
    for (const py::handle& id : py::iter(component_ids)) {
      only->insert(py::str(id).cast<std::string>());
    }
  }
  AdoptionPlan plan = plan_adoption(entries, ids, st.kept_versions > 0, only ? &*only : nullptr);
  std::map<std::string, std::vector<std::string>> earlier;  // by component, newest first
  for (const CacheLoad& load : plan.earlier) earlier[load.component_id].push_back(load.entry_name);
  // The plan names only entries found here.
  auto entry_of = [&entries](const std::string& name) -> const CacheDirEntry& {
    return *std::find_if(entries.begin(), entries.end(),
                         [&name](const CacheDirEntry& e) { return e.name == name; });
  };

  // Every adopted cache is checked against its component's fingerprint: computed once per
  // component for the whole adoption, unless a run already keeps them.
  const bool own_fingerprints = !st.fingerprints.active;
  st.fingerprints.active = true;
  py_values::OnExit forget("forgetting fingerprints", [&] {
    if (own_fingerprints) st.fingerprints = {};
  });

  for (const CacheLoad& load : plan.loads) {
    py::str id(load.component_id);
    py::object target = component(st, id);
    std::vector<std::string> candidates{load.entry_name};
    const auto& others = earlier[load.component_id];
    candidates.insert(candidates.end(), others.begin(), others.end());
    std::optional<model::Reason> first_stale;
    std::vector<model::SetAside::Entry> spare;  // newest first
    bool adopted = false;
    for (const std::string& name : candidates) {
      const std::string path = join_path(dir, name);
      const CacheDirEntry& entry = entry_of(name);
      const bool ours = owned_by_cache(entry), has_record = entry.has_record;
      std::string recorded;
      const std::optional<model::Reason> stale =
          guard::stale_reason(self, id, py_paths::str(path), &recorded);
      if (adopted || stale) {
        // Computed from other inputs: kept for when they come back where asked for, otherwise
        // of no use to anyone.
        if (stale && !first_stale) first_stale = stale;
        if (stale && st.kept_versions > 0 && !recorded.empty()) {
          spare.push_back({absolute_path(path), recorded});
        } else if (ours) {
          sup::remove_owned(path, has_record);
        }
        continue;
      }
      adopted = true;
      comp::set_uses_diskcache(target, true);
      const bool was_successful = comp::successful(target);
      if (sup::load_into_component(target, py_paths::str(path))) {
        if (!was_successful && comp::successful(target)) st.decisions.loaded(load.component_id);
        continue;
      }
      // Unreadable: a miss (the component runs again), reported, and gone if it is ours.
      if (ours) sup::remove_owned(path, has_record);
      guard::report_failure(
          self, id, target,
          py::str("The disk cache in {} cannot be read; component [{}] runs again.")
              .format(py_paths::str(path), comp::name(target)));
    }
    // The component runs for what changed since its newest cache was written.
    if (!adopted && first_stale && !comp::successful(target)) {
      st.decisions.invalidated(load.component_id, *first_stale);
    }
    // Set aside oldest first: a later adoption of the same directory finds them again.
    for (auto it = spare.rbegin(); it != spare.rend(); ++it) {
      discard_folders(st.paused.add(load.component_id, *it, st.kept_versions));
    }
  }

  // Only what is provably this product's is deleted: the directory may be a user's folder. A
  // directory that a component holds is never deleted from under it.
  std::set<std::string> attached;
  for (const auto& item : nodes) {
    py::object held = comp::diskcache_dir(item.second);
    if (!held.is_none()) attached.insert(absolute_path(py_paths::text(held)));
  }
  for (const std::string& name : plan.removals) {
    const std::string path = join_path(dir, name);
    if (attached.count(absolute_path(path)) == 0)
      sup::remove_owned(path, entry_of(name).has_record);
  }
  for (const auto& item : nodes) {
    if (!only || only->count(py::str(item.first).cast<std::string>()) != 0) {
      update_info(self, item.first);
    }
  }
  st.cache_dir = py_values::lookup("pathlib:Path")(*diskcache_dir);
  run_summary(self);
}

namespace {

void unload_diskcache(const py::object& self) {
  py::dict nodes = state(self).nodes;
  for (const auto& item : nodes) item.second.attr("unload_diskcache")();
  run_summary(self);
}

void enable_component_diskcache(const py::object& self,
                                const std::optional<py::str>& component_id) {
  const PipelineState& st = state(self);
  for (const py::object& id : related(st, component_id, true)) {
    comp::set_uses_diskcache(component(st, id), true);
  }
  run_summary(self);
}

void disable_component_diskcache(const py::object& self,
                                 const std::optional<py::str>& component_id) {
  const PipelineState& st = state(self);
  for (const py::object& id : related(st, component_id, false)) {
    cancel_if_updating(self, st, id);
    comp::set_uses_diskcache(component(st, id), false);
    drop_paused(state(self), id);
  }
  run_summary(self);
}

void clear_component_cache(const py::object& self, const std::optional<py::str>& component_id) {
  const PipelineState& st = state(self);
  for (const py::object& id : related(st, component_id, false)) {
    cancel_if_updating(self, st, id);
    component(st, id).attr("clear_cache")();
    drop_paused(state(self), id);
  }
  run_summary(self);
}

void clear_all_cache(const py::object& self) {
  py::dict nodes = state(self).nodes;
  for (const auto& item : nodes) item.second.attr("clear_cache")();
  drop_paused(state(self), py::none());
  run_summary(self);
}

// The clean-up proper: every component's disk cache, then the directories that are the caches'
// own, then the directory itself if nothing else is left in it.
void remove_owned_caches(PipelineState& st, const std::string& dir) {
  py::dict nodes = st.nodes;
  for (const auto& item : nodes) item.second.attr("clear_diskcache")();
  drop_paused(st, py::none());

  // Only the caches' own directories go; anything else a user put here stays, and with it the
  // directory.
  for (const std::string& name : py_paths::list(dir)) {
    CacheDirEntry entry = describe_cache_entry(dir, name);
    if (owned_by_cache(entry)) sup::remove_owned(join_path(dir, name), entry.has_record);
  }
  remove_if_left_empty(dir, "pipeline.json");
}

}  // namespace

// Also runs at interpreter exit and from the destructor, possibly on an object whose
// construction failed half-way, so missing state means there is nothing to clean.
void clear_diskcaches(const py::object& self) {
  // Late in interpreter shutdown nothing can be imported any more; the exit handler has run.
  if (py_values::finalizing()) return;
  py::object loaded_os = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str("os").ptr()));
  if (!loaded_os || loaded_os.is_none()) {
    PyErr_Clear();
    return;
  }
  if (!py::isinstance<PipelineState>(self)) return;
  // Only the owner deletes: not a pipeline whose directory went to a newer one, and not a child
  // forked from the kernel that created it.
  if (!ownership::is_owner(self)) return;
  PipelineState& st = state(self);
  py::object dir_value = st.cache_dir;
  if (dir_value.is_none()) return;
  const std::string dir = py_paths::text(dir_value);
  // The directory the pipeline was pointed at, reached as the user named it.
  if (!inspect(dir, true).is_dir) return;

  // A write still in progress would rename its directory into place after the clean-up. The
  // writer is stopped for the clean-up (it finishes the write in progress and drops the queue)
  // and started again afterwards, so the pipeline stays usable.
  py::object writer = st.writer;
  bool restart = false;
  if (py::bool_(writer) && !sup::quietly([&] {
        restart = py::bool_(writer.attr("is_alive")());
        writer.attr("close")();
      })) {
    restart = false;
  }

  try {
    remove_owned_caches(st, dir);
  } catch (...) {
    if (restart) restart_writer(st);
    throw;
  }
  if (restart) restart_writer(st);
}

void register_cache_commands(py::module_& /*m*/, const py::object& cls) {
  pyclass::def(cls, "load_diskcache", &load_diskcache, py::arg("diskcache_dir"),
               py::arg("component_ids") = py::none(), "Adopt a directory of disk caches.");
  pyclass::def(cls, "unload_diskcache", &unload_diskcache, "Unload diskcache of all components.");
  pyclass::def(cls, "enable_component_diskcache", &enable_component_diskcache,
               py::arg("component_id"), "Enable diskcache of a component and its ancestors.");
  pyclass::def(cls, "disable_component_diskcache", &disable_component_diskcache,
               py::arg("component_id"), "Disable diskcache of a component and its descendants.");
  pyclass::def(cls, "clear_component_cache", &clear_component_cache, py::arg("component_id"),
               "Clear caches of a component and its descendants.");
  pyclass::def(cls, "clear_all_cache", &clear_all_cache, "Clear caches of all components.");
  pyclass::def(cls, "clear_all_diskcache", &clear_diskcaches,
               "Delete the disk caches of the pipeline.");
}

}  // namespace orvane::pipeline
