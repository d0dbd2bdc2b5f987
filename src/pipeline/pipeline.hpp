// Internal header of the pipeline engine: the pipeline's native state and what the parts share.
//
// A pipeline's state lives in one C++ object, PipelineState, the native base of the public
// class. The public class is built at module init from that base and the Python graph base
// (type("OrvanePipeline", (_PipelineState, OrvaneDagBase), ...)); its private attributes
// (`_callback`, `_diskcache_writer`, ...) and the graph base's `id`, `nodes`, `_graph` and
// `_graph_version` are properties over the members below, so Python code (the graph base,
// subclasses, tests) and C++ see the same state.
//
// The engine's rules (what reruns and why, what a run, new parameters or an edit invalidate,
// which inputs merge, what is freed or cancelled, fingerprints) are decided in plain C++ by
// core/pipeline_model.hpp on the components' facts; the files here carry the decisions out.
//
// For files added to this folder (registered from bind_pipeline.cpp like the others):
// - state(self) gives the pipeline's PipelineState; read and change members there, not through
//   attribute names. graph(st) gives the native graph; ids are component ids, and `st.nodes`
//   maps them to components.
// - run_summary(self) sends the pipeline summary (what run_callback() sends); run_callback(self,
//   record) sends a record. queue_write / withdraw_write / take_messages /
//   children_successful are the engine's steps.
// - Runs (synchronous, parallel, a search's trial through run_components) live in execution.cpp.
// - The components are asked through pipeline/component_access.hpp.
// - rt() holds the enums and record classes resolved once at import.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/py_values.hpp"
#include "core/cache_writer.hpp"
#include "core/pipeline_model.hpp"
#include "core/run_fingerprints.hpp"
#include "native/graph_object.hpp"

namespace orvane::pipeline {

namespace py = pybind11;

struct PipelineState {
  // Graph base state (set by OrvaneDagBase through properties).
  py::object id = py::none();
  py::dict nodes;                 // component id -> component, the components' only owner
  py::object graph = py::none();  // the native graph object (GraphObject) of the graph base
  const GraphObject* dag = nullptr;
  std::int64_t graph_version = 0;

  // The pipeline's own state; Python values stay Python objects.
  py::object callback = py::none();
  py::object shell = py::none();
  py::dict parameters;
  py::list requirements;
  py::object cache_dir = py::none();  // path value of the pipeline's disk-cache directory
  py::object connection = py::none();
  py::object writer = py::none();
  py::object optimizer = py::none();
  // The component, edge and package lists of the last report (lifecycle.cpp): the next report
  // hands out the same list while its items are still exactly the pipeline's, instead of a copy
  // per report (half the reports of a run follow no change of a component).
  py::object reported_components = py::none();
  py::object reported_edges = py::none();
  py::object reported_requirements = py::none();
  // Opt-in (lifecycle.cpp): a summary that repeats the last one the callback received, with no
  // other record between them, is not sent again. The rest of that summary (id, folder and
  // parameters, plain texts that cannot refer back to the pipeline, so the collector need not
  // see them) and a weak reference to the callback that received it.
  bool skip_unchanged_summaries = false;
  py::object reported_rest = py::none();
  py::object delivered_to = py::none();
  // Set once construction completed (ownership.cpp): the lock it holds on its directory, and a
  // number no other pipeline of this process has.
  struct OwnerToken {
    std::string lock_path;
    std::uint64_t serial = 0;  // 0: no token
  } owner_token;

  // Reuse without rewriting (diskcache_channel.cpp): the components reused as they are in the
  // current run, and their writes completed at once (their folder is the attached cache), as
  // done messages for the next poll.
  std::unordered_set<std::string> reused;
  std::vector<DoneMessage> completed_writes;

  // Whether the last run was interrupted: it records the interrupt as a component's failure and
  // returns normally (execution.cpp).
  bool interrupted = false;

  // Fingerprints of the current run by graph node (cache_guard.cpp); dropped at the start and
  // end of each run.
  model::RunFingerprints fingerprints;

  // Each component's last decision and why a component that is invalid now was invalidated
  // (explain()).
  model::Decisions decisions;

  // Opt-in: a parameter change reaches only the components that read a changed name and their
  // descendants, and a fingerprint covers only the parameters its component reads (reach.cpp).
  bool parameter_reach = false;
  // The parameter names a component's code reads, by component id.
  model::ReadsByCode reads;
  // During a search with parameter_reach: the components the tuned parameters reach, which
  // write nothing to disk for trial results.
  std::unordered_set<std::string> search_reach;
  // Disk caches set aside by a search or for earlier inputs, by component id: brought back
  // when the component's fingerprint is the one recorded in a cache again.
  model::SetAside paused;
  // Opt-in: how many earlier disk caches per component a change of its inputs sets aside for
  // when they come back (0: none; an invalidation drops the cache, as it always did).
  std::size_t kept_versions = 0;
};

// The native state of a pipeline (of the public class or a subclass of it).
inline PipelineState& state(const py::handle& self) { return py::cast<PipelineState&>(self); }
// The current graph; raises when the graph base has not set one.
inline const GraphObject& graph(const PipelineState& st) {
  if (st.dag == nullptr) throw std::runtime_error("The pipeline has no graph.");
  return *st.dag;
}
// The graph node of a component id: ids are text, anything else is a TypeError; an id that is
// not in the graph raises networkx's error, as a graph query would.
inline std::size_t node_of(const GraphObject& graph, const py::handle& id) {
  if (!id.is_none() && !PyUnicode_Check(id.ptr()))
    throw py::type_error("component ids must be text, got " + std::string(py::repr(id)));
  return graph.index(id);
}
// The component of an id, from the node map.
inline py::object component(const PipelineState& st, const py::handle& id) { return st.nodes[id]; }

// Each adds its members to the OrvanePipeline class object `cls` (built with type()).
void register_lifecycle(py::module_& m, const py::object& cls);          // lifecycle.cpp
void register_execution(py::module_& m, const py::object& cls);          // execution.cpp
void register_diskcache_channel(py::module_& m, const py::object& cls);  // diskcache_channel.cpp
void register_cache_commands(py::module_& m, const py::object& cls);     // cache_commands.cpp
void register_optimization(py::module_& m, const py::object& cls);       // optimization.cpp
void register_reach(py::module_& m, const py::object& cls);              // reach.cpp

// Python objects the engine uses on every call, looked up once (rt()'s first call, made at module
// init). The references are deliberately leaked: they must outlive every pipeline, including those
// finalised while the interpreter shuts down.
struct Runtime {
  static py::handle at(const char* path) { return py_values::keep(py_values::lookup(path)); }
  py::handle dag_base = at("orvane_core.pipeline._dag:OrvaneDagBase");
  py::handle dag_summaries = at("orvane_core.pipeline._dag:OrvaneDagBase._refreshed_summaries");
  py::handle procedure_updated =
      at("orvane_core.misc:OrvanePipelineCallbackProcedure.PIPELINE_UPDATED");
  py::handle procedure_parameters =
      at("orvane_core.misc:OrvanePipelineCallbackProcedure.PARAMETERS_UPDATED");
  py::handle callback_successful = at("orvane_core.misc:OrvanePipelineCallbackStatus.SUCCESSFUL");
  py::handle callback_failed = at("orvane_core.misc:OrvanePipelineCallbackStatus.FAILED");
  py::handle callback_record = at("orvane_core.misc.models:OrvanePipelineCallbackDataModel");
  py::handle pipeline_info = at("orvane_core.misc.models:OrvanePipelineInfoModel");
  py::handle parameter_record = at("orvane_core.misc.models:OrvanePipelineParameterModel");
  py::handle pickle_dumps = at("cloudpickle:dumps");
};

inline const Runtime& rt() {
  static const Runtime runtime;
  return runtime;
}

// An outcome record for the front end (status SUCCESSFUL when `ok`, else FAILED).
py::object outcome_record(const py::handle& procedure, bool ok, const py::handle& msg,
                          const py::handle& successful = py::dict(),
                          const py::handle& failed = py::dict());
// run_callback(data): `data` None sends the summary.
void run_callback(const py::object& self, const py::object& data = py::none());
inline void run_summary(const py::object& self) { run_callback(self); }

// The engine's steps, called directly: a subclass that replaces one of these members changes
// what callers of that member get, never the steps of the engine's own runs.
// Queues the write of the component's current results (one reused as it is completes at once).
void queue_write(const py::object& self, const py::object& component_id);
// Withdraws the component's pending write.
void withdraw_write(const py::object& self, const py::handle& component_id);
void take_messages(const py::object& self);
void clear_diskcaches(const py::object& self);
// The one place the writer is started: a new one when there is none, otherwise the stopped one
// again (closed first; one that cannot even be closed is replaced by a new one).
void restart_writer(PipelineState& st);
// Stops the writer for good (it finishes the write in progress and drops the queue).
void stop_writer(PipelineState& st);
// Withdraws the component's write if one is pending and it caches to disk; true when it did.
bool cancel_pending_write(const py::object& self, const py::handle& component_id);
// Withdraws every pending write, each component's disk cache then FAILED: an interrupt
// abandons the whole run.
void cancel_pending_writes(const py::object& self);

// A synchronous run of the components and their ancestors (execution.cpp); returns the last
// output.
py::object run_components(const py::object& self, const py::handle& component_ids,
                          bool send_to_front, bool optimize_memory);

// The parameters as text records (name, type, value), each built by `make`: a dict, the plain
// data summaries carry, by default; parameters_view's record class for the front end; and their
// validated replacement (reach.cpp).
py::list parameter_entries(const PipelineState& st, const py::handle& make = py::handle(
                                                        reinterpret_cast<PyObject*>(&PyDict_Type)));
void set_parameters(const py::object& self, const py::object& new_parameters);
// Adopts the disk caches of a directory (cache_commands.cpp); with `component_ids`, for those only.
void load_diskcache(const py::object& self, const std::optional<py::str>& diskcache_dir,
                    const py::object& component_ids);

// The facts of graph nodes for the engine's rules, read from the components when asked.
model::Facts facts_of(const PipelineState& st, const GraphObject& graph);
// Carries out invalidations the rules decided: pending writes cancelled, status INVALID, and
// the reason kept for explain(). With `keep_earlier` (new parameters, an edit), a component's
// disk cache is set aside first where kept_versions asks for it.
void apply_invalidations(const py::object& self, PipelineState& st, const GraphObject& graph,
                         const std::vector<model::Invalidation>& invalidations,
                         bool keep_earlier = false);

// Parameter reach (reach.cpp). The parameter text a component's fingerprint covers: every
// parameter, or with parameter_reach only those it reads.
std::string parameter_text(PipelineState& st, const py::handle& id);
// The parameters a component's fingerprint covers, each as a digest of its value.
std::map<std::string, std::string> parameter_sources(PipelineState& st, const py::handle& id);
// Disk caches a search set aside whose fingerprint is current again are loaded back (not while
// a search runs); returns the ids of the components taken back.
std::unordered_set<std::string> restore_paused(const py::object& self, PipelineState& st);
// A cleared cache stays cleared: the caches a search set aside for the component (None: for
// every component) are deleted.
void drop_paused(PipelineState& st, const py::handle& id);
// Sets aside the disk caches of the components in reach of `names` for a search; returns
// their ids (the components that write nothing during the search).
std::unordered_set<std::string> pause_reach(const py::object& self, PipelineState& st,
                                            const std::vector<std::string>& names);
// After the parameters changed from `before`: with parameter_reach only what a changed, added
// or removed name reaches is invalidated, otherwise every component.
// Components in `restored` hold results for the new values already and stay current.
void invalidate_for_new_parameters(const py::object& self, PipelineState& st,
                                   const py::dict& before,
                                   const std::unordered_set<std::string>& restored = {});

using py_values::kept;
using py_values::text_of;
using py_values::truthy;

}  // namespace orvane::pipeline
