// Pipeline members: the cache commands (adopting a directory of disk caches, unloading,
// enabling and disabling disk caching, clearing caches), the clean-up run at exit, and a
// component's in/out record from its parents.
#include <algorithm>
#include <optional>
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

// Rebuilds the in/out record of a successful component from its successful parents.
void update_info(const PipelineState& st, const py::handle& id) {
  py::object target = component(st, id);
  if (!comp::successful(target)) return;
  std::vector<py::object> parents;
  const GraphObject& graph = pipeline::graph(st);
  for (std::size_t p : graph.dag.predecessors(node_of(graph, id))) {
    parents.push_back(component(st, graph.id(p)));
    if (!comp::successful(parents.back())) parents.pop_back();
  }
  vostrel::relink(comp::native(target), parents);
}

// The commands on components: enabling disk caching reaches a component's ancestors, disabling
// it and clearing caches reach its descendants (or every component).
enum class Related { EnableDisk, DisableDisk, Clear };

// Runs `command` on the components `ids`, in that order, then sends the summary. Reaching
// descendants withdraws their writes still on their way first (one would bring the results back
// after a clear) and drops the caches set aside for them: they are cleared.
void run_command(const py::object& self, const std::vector<py::object>& ids, Related command) {
  PipelineState& st = state(self);
  const bool ancestors = command == Related::EnableDisk;
  for (const py::object& id : ids) {
    py::object target = component(st, id);
    if (!ancestors && comp::native(target).write_in_flight()) withdraw_write(self, id);
    if (command == Related::Clear) {
      st.decisions.cleared(text_of(id), comp::facts(target));
      vostrel::clear_cache(comp::native(target));
    } else {
      comp::set_uses_diskcache(target, ancestors);
    }
    if (!ancestors) drop_paused(st, id);
  }
  run_summary(self);
}

// Runs `command` on the component and its ancestors (or descendants), in the node map's order,
// which the graph's indices keep; chosen before any command runs (a callback may replace the
// graph meanwhile). An unknown component is rejected before anything is changed.
template <Related command>
void for_related(const py::object& self, const std::optional<py::str>& component_id) {
  const GraphObject& graph = pipeline::graph(state(self));
  const std::size_t node = node_of(graph, py::cast(component_id));
  std::vector<std::size_t> related =
      command == Related::EnableDisk ? graph.dag.ancestors(node) : graph.dag.descendants(node);
  related.push_back(node);
  std::sort(related.begin(), related.end());
  std::vector<py::object> ids;
  for (std::size_t n : related) ids.push_back(graph.id(n));
  run_command(self, ids, command);
}

}  // namespace

// With `component_ids`, only those components take their caches from the directory: the
// others keep what they hold, unread and unchecked again (a notebook adopts the caches of its
// components one declaration at a time).
void load_diskcache(const py::object& self, const std::optional<py::str>& diskcache_dir,
                    const py::object& component_ids) {
  if (!diskcache_dir) throw py::value_error("A disk-cache directory is required.");
  const std::string dir = py_paths::text(*diskcache_dir);
  // Adopting unpickles what is there: only from a directory no one else can change.
  if (std::string problem = unsafe_path_problem(dir); !problem.empty()) {
    throw std::runtime_error(problem);
  }
  PipelineState& st = state(self);
  const std::vector<CacheDirEntry> entries = sup::entries_of(dir);
  py::dict nodes = st.nodes;
  const auto ids = py::list(nodes).cast<std::vector<std::string>>();
  std::optional<std::unordered_set<std::string>> only;
  if (!component_ids.is_none()) {
    only.emplace();
    for (const py::handle& id : py::iter(component_ids)) only->insert(text_of(id));
  }
  const AdoptionPlan plan =
      plan_adoption(entries, ids, st.kept_versions > 0, only ? &*only : nullptr);

  // Every adopted cache is checked against its component's fingerprint: computed once per
  // component for the whole adoption, unless a run already keeps them.
  const bool own_fingerprints = !st.fingerprints.active;
  st.fingerprints.active = true;
  py_values::OnExit forget("forgetting fingerprints", [&] {
    if (own_fingerprints) st.fingerprints = {};
  });
  for (const CacheLoad& load : plan.loads) {
    const py::str id(load.component_id);
    py::object target = component(st, id);
    const Adopted done = adopt_candidates(
        dir, adoption_candidates(entries, plan, load), load.component_id, st.paused,
        st.kept_versions,
        [&](const std::string& path, std::string& recorded) {
          return guard::stale_reason(st, id, path, recorded);
        },
        [&](const std::string& path) {
          comp::set_uses_diskcache(target, true);
          const bool was_successful = comp::successful(target);
          if (!sup::load_into_component(target, path)) return false;
          if (!was_successful && comp::successful(target)) st.decisions.loaded(load.component_id);
          return true;
        });
    // Unreadable: a miss (the component runs again), reported.
    for (const std::string& path : done.unreadable) {
      guard::report_failure(self, id,
                            py::str("The disk cache in {} cannot be read; component [{}] runs "
                                    "again.")
                                .format(py_paths::str(path), comp::native(target).name));
    }
    // Without a current write, it runs for what changed since its newest one was written.
    if (!done.tried && !comp::successful(target) && done.first_stale) {
      st.decisions.invalidated(load.component_id, *done.first_stale);
    }
  }

  // Only what is provably this product's is deleted: the directory may be a user's folder. A
  // directory that a component holds is never deleted from under it.
  std::vector<std::string> held;
  for (const auto& item : nodes) {
    held.push_back(sup::folder_of(item.second));
    if (!only || only->count(text_of(item.first)) != 0) update_info(st, item.first);
  }
  for (const CacheDirEntry* entry : removals_to_delete(entries, plan, dir, held)) {
    remove_owned(join_path(dir, entry->name), entry->has_record);
  }
  st.cache_dir = py_values::lookup("pathlib:Path")(*diskcache_dir);
  run_summary(self);
}

// Also runs at interpreter exit and from the destructor, possibly on an object whose
// construction failed half-way, so missing state means there is nothing to clean.
void clear_diskcaches(const py::object& self) {
  // Late in interpreter shutdown nothing can be imported any more; the exit handler has run.
  if (py_values::finalizing()) return;
  // Only the owner deletes: not a pipeline whose directory went to a newer one, and not a child
  // forked from the kernel that created it.
  if (!py::isinstance<PipelineState>(self) || !ownership::is_owner(state(self))) return;
  PipelineState& st = state(self);
  if (st.cache_dir.is_none()) return;
  const std::string dir = py_paths::text(st.cache_dir);
  // The directory the pipeline was pointed at, reached as the user named it.
  if (!inspect(dir, true).is_dir) return;

  // A write still in progress would rename its directory into place after the clean-up. The
  // writer is stopped for the clean-up (it finishes the write in progress and drops the queue)
  // and started again afterwards, so the pipeline stays usable.
  const bool restart = truthy(st.writer) && sup::writer_of(st).is_alive();
  if (truthy(st.writer)) sup::writer_of(st).close();
  try {
    // Every component's disk cache, then what else in the directory is the caches' own.
    sup::each_component(st, vostrel::clear_diskcache);
    drop_paused(st, py::none());
    remove_owned_entries(dir, sup::entries_of(dir), "pipeline.json");
  } catch (...) {
    if (restart) restart_writer(st);
    throw;
  }
  if (restart) restart_writer(st);
}

void register_cache_commands(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  using Id = const std::optional<py::str>&;
  pc::def(cls, "load_diskcache", &load_diskcache, py::arg("diskcache_dir"),
          py::arg("component_ids") = py::none(), "Adopt a directory of disk caches.");
  pc::def(
      cls, "unload_diskcache",
      [](const py::object& self) {
        sup::each_component(state(self), vostrel::unload_diskcache);
        run_summary(self);
      },
      "Unload diskcache of all components.");
  pc::def(cls, "enable_component_diskcache", &for_related<Related::EnableDisk>,
          py::arg("component_id"), "Enable diskcache of a component and its ancestors.");
  pc::def(cls, "disable_component_diskcache", &for_related<Related::DisableDisk>,
          py::arg("component_id"), "Disable diskcache of a component and its descendants.");
  pc::def(cls, "clear_component_cache", &for_related<Related::Clear>, py::arg("component_id"),
          "Clear caches of a component and its descendants.");
  pc::def(
      cls, "clear_all_cache",
      [](const py::object& self) {
        PipelineState& st = state(self);
        run_command(self, py::list(st.nodes).cast<std::vector<py::object>>(), Related::Clear);
        drop_paused(st, py::none());
      },
      "Clear caches of all components.");
  pc::def(cls, "clear_all_diskcache", &clear_diskcaches, "Delete the disk caches of the pipeline.");
  pc::def(
      cls, "update_component_info",
      [](const PipelineState& st, Id id) { update_info(st, py::cast(id)); },
      py::arg("component_id"));
}

}  // namespace orvane::pipeline
