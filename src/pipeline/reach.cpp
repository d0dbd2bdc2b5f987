// Pipeline members: carrying out the engine's invalidation rules, parameter reach (opt-in), the
// disk caches a search sets aside, and explain().
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "pipeline/cache_guard.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

namespace sup = support;

py::object names_helper() {
  static py::handle helper = py_values::lookup("orvane_core.common.names:cell_names").release();
  return py::reinterpret_borrow<py::object>(helper);
}

// repr(sorted(items)) of the parameters, restricted to `reads` unless it reads them all: the
// text without restriction is what fingerprints always covered, so caches written before stay
// current.
std::string parameters_repr(const PipelineState& st, const model::ParameterReads* reads) {
  py::list items;
  for (const auto& item : st.parameters) {
    if (reads != nullptr && !reads->all && reads->names.count(text_of(item.first)) == 0) continue;
    items.append(py::make_tuple(item.first, item.second));
  }
  if (PyList_Sort(items.ptr()) != 0) throw py::error_already_set();
  return py::repr(items);
}

std::vector<std::string> parameter_names(const py::dict& values) {
  std::vector<std::string> names;
  for (const auto& item : values) names.push_back(text_of(item.first));
  return names;
}

// Deletes a set-aside cache's folder if it is still one of ours (a clean-up may have gone first).
void discard_folder(const py::object& folder) {
  const std::string path = py_paths::text(folder);
  if (has_cache_record(path)) sup::remove_owned(path, true);
}

}  // namespace

model::Facts facts_of(const PipelineState& st, const GraphObject& graph) {
  const PipelineState* owner = &st;
  const GraphObject* g = &graph;
  return [owner, g](std::size_t node) { return comp::facts(component(*owner, g->id(node))); };
}

void apply_invalidations(const py::object& self, PipelineState& st, const GraphObject& graph,
                         const std::vector<model::Invalidation>& invalidations) {
  for (const model::Invalidation& inv : invalidations) {
    const py::object& id = graph.id(inv.node);
    if (inv.cancel_write) put_task(self, true, id);
    comp::set_status(component(st, id), rt().status_invalid);
    if (inv.reason) st.decisions.invalidated(text_of(id), *inv.reason);
  }
}

model::ParameterReads reads_of(PipelineState& st, const py::handle& id) {
  py::object code_object = comp::cell_code(component(st, id));
  std::string code = py::str(code_object);
  auto found = st.reads.find(text_of(id));
  if (found != st.reads.end() && found->second.code == code) return found->second.reads;
  py::object names = names_helper()(code);
  model::ParameterReads reads;
  reads.all = truthy(names.attr("reads_all"));
  for (const py::handle& name : names.attr("reads")) reads.names.insert(text_of(name));
  st.reads[text_of(id)] = {std::move(code), reads};
  return reads;
}

namespace {
// The parameter names each graph node reads.
model::Reads reads_by_node(PipelineState& st, const GraphObject& graph) {
  PipelineState* owner = &st;
  return [owner, &graph](std::size_t node) { return reads_of(*owner, graph.id(node)); };
}
}  // namespace

std::string parameter_text(PipelineState& st, const py::handle& id) {
  if (!st.parameter_reach || id.is_none()) return parameters_repr(st, nullptr);
  const model::ParameterReads reads = reads_of(st, id);
  return parameters_repr(st, &reads);
}

void invalidate_for_new_parameters(const py::object& self, PipelineState& st,
                                   const py::dict& before) {
  py::object graph_holder = st.graph;
  const GraphObject& graph = pipeline::graph(st);
  const py::dict after = st.parameters;
  const std::vector<std::string> changed = model::changed_parameters(
      parameter_names(before), parameter_names(after), [&](const std::string& name) {
        return py_values::equal(before[py::str(name)], after[py::str(name)]);
      });
  if (changed.empty()) return;
  const model::Reads reads = reads_by_node(st, graph);
  apply_invalidations(
      self, st, graph,
      model::invalidate_for_parameters(graph.dag, changed, st.parameter_reach ? &reads : nullptr,
                                       facts_of(st, graph)));
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
    py::object cache = comp::attached_diskcache(c);
    if (cache.is_none()) continue;
    const std::string print = py::str(py::getattr(cache, "fingerprint", py::str("")));
    // Without a recorded fingerprint it could never be told current again: it stays attached
    // and goes the way any invalidated cache goes.
    if (print.empty()) continue;
    auto previous = st.paused.find(text_of(id));
    if (previous != st.paused.end()) discard_folder(previous->second.folder);
    st.paused[text_of(id)] = {cache.attr("cache_dir"), print};
    comp::detach_diskcache(c);
    comp::native(c).mark_disk_status(comp::DiskStatus::Uncached);
    // Its values may have been only on disk: it is no longer successful, and if the search
    // changes nothing the set-aside cache is current again at the next run.
    comp::set_status(c, rt().status_invalid);
    st.decisions.invalidated(text_of(id), reason);
  }
  return reached;
}

void restore_paused(const py::object& self, PipelineState& st) {
  if (st.paused.empty()) return;
  std::vector<std::string> back;
  for (const auto& [id, paused] : st.paused) {
    py::str component_id(id);
    if (!st.nodes.contains(component_id)) continue;
    if (std::string(guard::fingerprint(self, component_id)) != paused.fingerprint) continue;
    py::object c = component(st, component_id);
    if (!comp::uses_diskcache(c)) continue;
    back.push_back(id);
  }
  for (const std::string& id : back) {
    py::str component_id(id);
    py::object folder = st.paused[id].folder;
    st.paused.erase(id);
    py::object c = component(st, component_id);
    cancel_pending_write(self, component_id);
    if (sup::load_into_component(c, folder)) comp::mark_disk_cached(c);
  }
}

void drop_paused(PipelineState& st, const py::handle& id) {
  for (auto it = st.paused.begin(); it != st.paused.end();) {
    if (!id.is_none() && it->first != text_of(id)) {
      ++it;
      continue;
    }
    discard_folder(it->second.folder);
    it = st.paused.erase(it);
  }
}

namespace {

py::dict explain(const py::object& self) {
  PipelineState& st = state(self);
  py::dict out;
  for (const auto& item : st.nodes) {
    py::dict entry;
    const model::Decision* decision = st.decisions.last(text_of(item.first));
    if (decision == nullptr) {
      entry["decision"] = "none";
      entry["reason"] = "it has not been asked to run yet";
      entry["cause"] = py::none();
    } else {
      const model::Reason& reason = decision->reason;
      entry["decision"] = model::outcome_name(decision->outcome);
      entry["reason"] = model::because(reason);
      entry["cause"] = model::cause_name(reason.cause);
      if (reason.cause == model::Cause::ParametersChanged) {
        py::list names;
        for (const std::string& name : reason.parameters) names.append(name);
        entry["parameters"] = names;
      }
      if (reason.cause == model::Cause::ParentReran) entry["parent"] = reason.parent;
    }
    out[item.first] = entry;
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
  apply_invalidations(self, st, graph,
                      model::invalidate_for_edit(graph.dag, code, parents, is_fresh));
}

}  // namespace

void register_reach(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  pc::def(cls, "explain", &explain,
          "Each component's last decision (ran, reused, invalidated or none) and why.");
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
