// Pipeline members: the parameter store (values, their text view for the front end, validated
// replacement of the whole set), carrying out the engine's invalidation rules, parameter reach
// (opt-in), the disk caches a search sets aside, and explain().
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

constexpr const char* kInvalidLiterals = "Parameter names/fields contain invalid Python literals";
constexpr const char* kUpdated = "Parameters have updated successfully.";

py::dict entries_of(const py::list& entries) { return py::dict(py::arg("entries") = entries); }

// Evaluates one record's value text (ast.literal_eval); false means it does not parse.
bool evaluate_value(const py::handle& record, py::object& value) {
  py::object text = record.attr("value");
  try {
    value = py_values::kept("ast:literal_eval")(text);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_SyntaxError)) return false;
    if (!e.matches(PyExc_ValueError)) throw;
    // Parses but is no literal (a bare word, a call): taken as the text itself. The view shows
    // non-finite floats as bare words, so a record typed float keeps them as floats.
    value = text;
    if (!py::isinstance<py::str>(text)) return true;
    if (auto number =
            model::parameter_word(py_values::utf8(record.attr("type")),
                                  py_values::utf8(text.attr("strip")().attr("lower")()))) {
      value = py::float_(*number);
    }
    return true;
  }
  // The view escapes characters outside the Basic Multilingual Plane as JSON surrogate pairs,
  // which evaluate to two lone surrogates; joined again, the text round-trips to the string it
  // showed. A lone surrogate that pairs with nothing stays as it is.
  if (!py::isinstance<py::str>(value)) return true;
  py_values::quietly([&] {
    value = value.attr("encode")("utf-16-le", "surrogatepass").attr("decode")("utf-16-le");
  });
  return true;
}

// The parameters a component reads, from its code (kept while the code stays the same).
model::ParameterReads reads_of(PipelineState& st, const py::handle& id) {
  const std::string code = text_of(comp::cell_code(component(st, id)));
  if (const model::ParameterReads* known = st.reads.find(text_of(id), code)) return *known;
  py::object names = py_values::kept("orvane_core.common.names:cell_names")(code);
  return st.reads.keep(
      text_of(id), code,
      {truthy(names.attr("reads_all")), names.attr("reads").cast<std::set<std::string>>()});
}

// The parameter names each graph node reads.
model::Reads reads_by_node(PipelineState& st, const GraphObject& graph) {
  return [&st, &graph](std::size_t node) { return reads_of(st, graph.id(node)); };
}

// Deletes set-aside folders that are still caches of ours (a clean-up may have gone first).
void discard_folders(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    discard_cache(folder);
  }
}

// Detaches the component's disk cache into `paused`, keeping at most `limit` per component (one
// per fingerprint, the oldest go); false when it has none with a recorded fingerprint.
bool set_aside(PipelineState& st, const std::string& id, const py::handle& c, std::size_t limit) {
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

// repr() of the name and the value of each parameter a component's fingerprint covers: every
// parameter, or with parameter_reach only those it reads (None: the pipeline as a whole covers
// them all).
model::ParameterReprs covered(PipelineState& st, const py::handle& id) {
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

// decision, reason and cause, and the parameters or the parent a reason names.
py::dict describe(const model::Decision* decision) {
  return py::dict(py::cast(model::tell(decision)));
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

py::list parameter_entries(const PipelineState& st, const py::handle& make) {
  py::list entries;
  for (const auto& [name, value] : st.parameters) {
    py::str type_name = py::type::of(value).attr("__qualname__");
    py::object text = py::str(value);
    if (type_name.equal(py::str("str"))) text = py_values::kept("json:dumps")(text);
    entries.append(
        make(py::arg("name") = name, py::arg("type") = type_name, py::arg("value") = text));
  }
  return entries;
}

void set_parameters(const py::object& self, const py::object& new_parameters) {
  py::list failed;
  py::dict params;

  for (py::handle record : new_parameters) {
    py::object name = record.attr("name");
    if (!py::isinstance<py::str>(name)) {
      throw py::type_error("Parameter name must be a string, not " +
                           text_of(py::type::of(name).attr("__name__")) + ".");
    }
    py::object value;
    if (PyUnicode_IsIdentifier(name.ptr()) != 1 ||
        truthy(py_values::kept("keyword:iskeyword")(name)) || !evaluate_value(record, value)) {
      failed.append(record.attr("dict")());
      continue;
    }
    params[name] = value;
  }

  PipelineState& st = state(self);
  if (failed.size() > 0) {
    run_callback(self, outcome_record(rt().procedure_parameters, false, py::str(kInvalidLiterals),
                                      entries_of(parameter_entries(st)), entries_of(failed)));
    throw py::value_error(kInvalidLiterals);
  }
  if (st.parameters.equal(params)) return;
  // The components are invalidated after the front end has seen the new values.
  const py::dict before = st.parameters.attr("copy")();
  PyDict_Clear(st.parameters.ptr());
  if (PyDict_Update(st.parameters.ptr(), params.ptr()) != 0) throw py::error_already_set();
  run_callback(self, outcome_record(rt().procedure_parameters, true, py::str(kUpdated),
                                    entries_of(parameter_entries(st))));
  // Caches a search set aside for these values come back first: their components stay current
  // (a load into a successful component counts no new success).
  invalidate_for_new_parameters(self, st, before, restore_paused(self, st));
  run_summary(self);
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
    if (!folder || !sup::load_into_component(c, *folder)) continue;
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

void register_reach(py::module_& /*m*/, const py::object& cls) {
  namespace pc = orvane::pyclass;
  pc::def_property_readonly(
      cls, "parameters", [](const PipelineState& st) { return st.parameters.attr("copy")(); },
      "Pipeline parameters.");
  pc::def_property_readonly(
      cls, "parameters_view",
      [](const PipelineState& st) { return parameter_entries(st, rt().parameter_record); },
      "Pipeline parameters as text records.");
  pc::def(cls, "set_parameters", &set_parameters, py::arg("new_parameters"),
          "Set pipeline parameters.");
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
