// Pipeline members: carrying out the engine's invalidation rules, parameter reach (opt-in), the
// disk caches a search sets aside, and explain().
#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "core/cache_folders.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

// The parameters a component reads, from its code (kept while the code stays the same).
model::ParameterReads reads_of(PipelineState& st, const py::handle& id) {
  const std::string code = text_of(comp::cell_code(component(st, id)));
  if (const model::ParameterReads* known = st.reads.find(text_of(id), code)) return *known;
  static py::handle cell_names = py_values::lookup("orvane_core.common.names:cell_names").release();
  py::object names = cell_names(code);
  return st.reads.keep(
      text_of(id), code,
      {truthy(names.attr("reads_all")), names.attr("reads").cast<std::set<std::string>>()});
}

// The parameter names each graph node reads.
model::Reads reads_by_node(PipelineState& st, const GraphObject& graph) {
  return [&st, &graph](std::size_t node) { return reads_of(st, graph.id(node)); };
}

}  // namespace

void discard_folders(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (has_cache_record(folder)) sup::remove_owned(folder, true);
  }
}

// Detaches the component's disk cache into `paused`, keeping at most `limit` per component (one
// per fingerprint, the oldest go); false when it has none with a recorded fingerprint.
static bool set_aside(PipelineState& st, const std::string& id, const py::handle& c,
                      std::size_t limit) {
  py::object cache = comp::attached_diskcache(c);
  if (cache.is_none()) return false;
  const std::string print = py::str(py::getattr(cache, "fingerprint", py::str("")));
  // Without a recorded fingerprint it could never be told current again: it stays attached
  // and goes the way any invalidated cache goes.
  if (print.empty()) return false;
  // Absolute, as adoption names them: a folder found again is then known as the same one.
  const std::string folder = absolute_path(py_paths::text(comp::diskcache_dir(c)));
  discard_folders(st.paused.add(id, {folder, print}, limit));
  comp::detach_diskcache(c);
  comp::native(c).mark_disk_status(comp::DiskStatus::Uncached);
  return true;
}

model::Facts facts_of(const PipelineState& st, const GraphObject& graph) {
  return [&st, &graph](std::size_t node) { return comp::facts(component(st, graph.id(node))); };
}

void apply_invalidations(const py::object& self, PipelineState& st, const GraphObject& graph,
                         const std::vector<model::Invalidation>& invalidations, bool keep_earlier) {
  for (const model::Invalidation& inv : invalidations) {
    const py::object& id = graph.id(inv.node);
    if (inv.cancel_write) withdraw_write(self, id);
    py::object c = component(st, id);
    const model::NodeFacts before = comp::facts(c);
    if (keep_earlier && st.kept_versions > 0 && inv.reason &&
        model::keeps_earlier(*inv.reason, before)) {
      set_aside(st, text_of(id), c, st.kept_versions);
    }
    comp::set_status(c, comp::Status::Invalid);
    if (inv.reason) st.decisions.invalidated(text_of(id), *inv.reason, &before);
  }
}

// repr() of the name and the value of each parameter a component's fingerprint covers: every
// parameter, or with parameter_reach only those it reads (None: the pipeline as a whole covers
// them all).
static model::ParameterReprs covered(PipelineState& st, const py::handle& id) {
  std::optional<model::ParameterReads> reads;
  if (st.parameter_reach && !id.is_none()) reads = reads_of(st, id);
  model::ParameterReprs out;
  for (const auto& [key, value] : st.parameters) {
    const std::string name = text_of(key);
    if (!reads || reads->all || reads->names.count(name) != 0) {
      out[name] = {py::repr(key), py::repr(value)};
    }
  }
  return out;
}

std::string parameter_text(PipelineState& st, const py::handle& id) {
  return model::parameter_text(covered(st, id));
}

std::map<std::string, std::string> parameter_sources(PipelineState& st, const py::handle& id) {
  return model::parameter_digests(covered(st, id));
}

void invalidate_for_new_parameters(const py::object& self, PipelineState& st,
                                   const py::dict& before,
                                   const std::unordered_set<std::string>& restored) {
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  const py::dict after = st.parameters;
  using Names = std::vector<std::string>;
  const Names changed = model::changed_parameters(
      py::list(before).cast<Names>(), py::list(after).cast<Names>(),
      [&](const std::string& name) { return before[py::str(name)].equal(after[py::str(name)]); });
  if (changed.empty()) return;
  const model::Reads reads = reads_by_node(st, graph);
  std::vector<bool> current(graph.dag.size(), false);
  for (const std::string& id : restored) current[node_of(graph, py::str(id))] = true;
  apply_invalidations(
      self, st, graph,
      model::invalidate_for_parameters(graph.dag, changed, st.parameter_reach ? &reads : nullptr,
                                       facts_of(st, graph), current),
      true);
}

std::unordered_set<std::string> pause_reach(const py::object& self, PipelineState& st,
                                            const std::vector<std::string>& names) {
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  std::unordered_set<std::string> reached;
  for (const auto& [node, reason] :
       model::parameter_reach(graph.dag, names, reads_by_node(st, graph))) {
    const py::object& id = graph.id(node);
    reached.insert(text_of(id));
    py::object c = component(st, id);
    if (!comp::uses_diskcache(c)) continue;
    // A write still pending would bring a cache back mid-search, where the next trial's
    // invalidation would delete it.
    cancel_pending_write(self, id);
    if (!set_aside(st, text_of(id), c, std::max<std::size_t>(st.kept_versions, 1))) continue;
    // Its values may have been only on disk: it is no longer successful, and if the search
    // changes nothing the set-aside cache is current again at the next run.
    comp::set_status(c, comp::Status::Invalid);
    st.decisions.invalidated(text_of(id), reason);
  }
  return reached;
}

std::unordered_set<std::string> restore_paused(const py::object& self, PipelineState& st) {
  std::unordered_set<std::string> restored;
  // Not while a search runs: the next trial's invalidation would delete a cache taken back.
  if (!st.search_reach.empty()) return restored;
  for (const std::string& id : st.paused.ids()) {
    py::str component_id(id);
    if (!st.nodes.contains(component_id)) continue;
    py::object c = component(st, component_id);
    if (!comp::uses_diskcache(c)) continue;
    const std::string print = guard::fingerprint(st, component_id);
    if (!st.paused.holds(id, print)) continue;
    cancel_pending_write(self, component_id);
    // Taken out first: setting aside the results it holds now (for going forth again) must not
    // push out, and delete, the cache wanted back when the set is full.
    const std::optional<std::string> folder = st.paused.take(id, print);
    if (st.kept_versions > 0) set_aside(st, id, c, st.kept_versions);
    if (!folder || !sup::load_into_component(c, py_paths::str(*folder))) continue;
    comp::mark_disk_cached(c);
    st.decisions.loaded(id);
    restored.insert(id);
  }
  return restored;
}

void drop_paused(PipelineState& st, const py::handle& id) {
  const std::string one = id.is_none() ? std::string() : text_of(id);
  discard_folders(st.paused.drop(id.is_none() ? nullptr : &one));
}

namespace {

// decision, reason and cause, and the parameters or the parent a reason names.
py::dict describe(const model::Decision* decision) {
  const model::Told told = model::tell(decision);
  py::dict entry(py::arg("decision") = told.decision, py::arg("reason") = told.reason,
                 py::arg("cause") = told.cause);
  if (decision == nullptr) return entry;
  const model::Reason& reason = decision->reason;
  if (reason.cause == model::Cause::ParametersChanged) entry["parameters"] = reason.parameters;
  if (reason.cause == model::Cause::ParentReran) entry["parent"] = reason.parent;
  return entry;
}

py::dict explain(const PipelineState& st) {
  py::dict out;
  for (const auto& [id, c] : st.nodes) {
    const std::string key = text_of(id);
    const model::Decision coming = st.decisions.next(key, comp::facts(c));
    py::dict entry = describe(st.decisions.last(key));
    entry["results"] = describe(st.decisions.results(key));
    entry["next"] = describe(&coming);
    out[id] = entry;
  }
  return out;
}

// Called by the graph base after an edit: components whose code or parents changed, and their
// descendants, are invalid; new components are not touched.
void invalidate_after_edit(const py::object& self, const py::iterable& code_changed,
                           const py::iterable& parents_changed, const py::iterable& fresh) {
  PipelineState& st = state(self);
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  std::vector<std::size_t> code, parents;
  std::vector<bool> is_fresh(graph.dag.size(), false);
  for (const py::handle& id : code_changed) code.push_back(node_of(graph, id));
  for (const py::handle& id : parents_changed) parents.push_back(node_of(graph, id));
  for (const py::handle& id : fresh) {
    is_fresh[node_of(graph, id)] = true;
    // A new component under an id used before starts without the old one's decisions.
    st.decisions.forget(text_of(id));
  }
  // Earlier caches are kept for undoing the edit, where asked for.
  apply_invalidations(self, st, graph,
                      model::invalidate_for_edit(graph.dag, code, parents, is_fresh), true);
}

}  // namespace

void register_reach(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  pc::def(cls, "explain", &explain,
          "Each component's last decision (ran, reused, invalidated or none) and why; under "
          "'results' the decision behind its current results, under 'next' what the next run "
          "will do with it.");
  pc::def(cls, "_invalidate_after_edit", &invalidate_after_edit, py::arg("code_changed"),
          py::arg("parents_changed"), py::arg("fresh"));
  pc::def_property(
      cls, "parameter_reach", [](const PipelineState& st) { return st.parameter_reach; },
      [](PipelineState& st, bool on) {
        st.parameter_reach = on;
        st.fingerprints.walk.reset();
      },
      "When true, new parameter values invalidate only the components that read a changed name "
      "and their descendants.");
}

}  // namespace orvane::pipeline
