// Pipeline members: construction, destruction, summary, graph updates and the exit clean-up.
#include <algorithm>
#include <optional>

#include "common/py_paths.hpp"
#include "common/pyclass.hpp"
#include "core/cache_paths.hpp"
#include "pipeline/ownership.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

// Exit clean-up. The exit registry holds no pipeline: it would keep every pipeline (and all its
// results) alive until the kernel ends. Instead the newest pipeline of each id owns that id's
// cache directory; only the owner clears it, at deletion or at exit, so that a superseded
// pipeline going away never deletes caches its successor has adopted (ownership.hpp).
void clear_at_exit() {
  // Each clears as its scope ends: an error is reported as unraisable and the next still clears.
  for (const py::handle& pipeline : ownership::live_owners()) {
    py_values::OnExit clear("clearing the disk cache of a pipeline at exit", [&] {
      clear_diskcaches(py::reinterpret_borrow<py::object>(pipeline));
    });
  }
}

void enroll_pipeline_to_env(const std::optional<py::str>& pipeline_id) {
  // The environment itself rejects None, with its own TypeError.
  py_values::lookup("os:environ.__setitem__")("ORVANE_DAG", pipeline_id);
}

void construct(const py::object& self, const py::object& identifier, const py::object& graph,
               const py::object& parameters, const py::object& callback, const py::object& shell,
               bool parameter_reach, std::size_t kept_versions, bool skip_unchanged_summaries) {
  py::type::of<PipelineState>().attr("__init__")(self);
  PipelineState& st = state(self);
  st.skip_unchanged_summaries = skip_unchanged_summaries;
  // Before the parameters and the adoption: fingerprints depend on it.
  st.parameter_reach = parameter_reach;
  // Before the adoption, which keeps that many earlier caches per component.
  st.kept_versions = kept_versions;
  st.callback = callback;
  st.shell = shell;
  rt().dag_base.attr("__init__")(self, py::arg("identifier") = identifier,
                                 py::arg("graph") = graph);
  // Set before the parameters are applied: applying them reports the summary, which shows it.
  py::object temp = py_values::lookup("orvane_core.common.utils:APP_TEMP_DIRECTORY");
  // An identifier that would lead out of the cache root is refused before anything happens.
  st.cache_dir = temp / py::str("pipelines") / py::str(pipeline_folder_name(text_of(st.id)));
  if (truthy(parameters)) set_parameters(self, parameters);

  // Checked and created level by level, private, never through a link; another kernel's
  // directory is adopted as a copy of its own.
  const PipelineDirectory claim = ownership::claim_directory(st, temp);
  if (claim.existed) load_diskcache(self, py_paths::str(claim.path), py::none());

  // The kernel application's connection file, or None outside a kernel.
  st.connection = py_values::kept("orvane_core.common.utils:kernel_connection_file")();
  restart_writer(st);
  enroll_pipeline_to_env(py::str(st.id));

  ownership::become_owner(self, claim);
}

void destruct(const py::object& self) {
  // A pipeline whose construction failed before its native state existed has nothing to release.
  auto* st = py::isinstance<PipelineState>(self) ? &state(self) : nullptr;
  if (st == nullptr || !truthy(st->writer)) return;
  stop_writer(*st);

  // Without a token the construction did not complete: such a pipeline never owns the
  // directory, which may belong to a live pipeline with the same id. A pipeline whose directory
  // went to a newer one, or a copy inherited by a forked child, lets go without deleting.
  if (ownership::is_owner(*st)) {
    clear_diskcaches(self);
    ownership::give_up(*st);
    return;
  }
  ownership::let_go_of_caches(*st);
}

// Leaves the disk cache for a later kernel: the writer finishes the write in progress and
// stops, and the pipeline no longer owns its directory, so that neither deleting the pipeline
// nor the exit clean-up removes it. A later pipeline with the same id adopts it. Writes still
// queued are dropped: wait for them first (update_diskcache_status) to keep them.
py::str keep_diskcache(PipelineState& st) {
  if (truthy(st.writer)) stop_writer(st);
  ownership::give_up(st);
  st.paused.forget();  // left for the later kernel with the rest
  return py::str(st.cache_dir);
}

// The graph base's summary (id, components, edges: fresh lists) and what the pipeline adds; the
// summary sent to the callback has the same fields (summary_mapping).
py::object info(const py::object& self) {
  const PipelineState& st = state(self);
  return rt().pipeline_info(py::arg("id") = st.id,
                            py::arg("components") = py_values::list_copy(rt().dag_summaries(self)),
                            py::arg("edges") = py_values::list_copy(self.attr("_edge_entries")),
                            py::arg("parameters") = parameter_entries(st, rt().parameter_record),
                            py::arg("diskcache_dir") = py::str(st.cache_dir),
                            py::arg("python_requirements") = st.requirements);
}

// Set at registration: the class's own `info` property; a subclass that replaces it reports what
// its own `info` gives.
py::handle own_info_property;

void update_graph(const py::object& self, const py::object& new_graph, const py::object& replaces) {
  try {
    rt().dag_base.attr("update_graph")(self, new_graph, replaces);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    run_callback(self, outcome_record(rt().procedure_updated, false, py::str(e.value())));
    throw;
  }
  run_summary(self);
}

// Keeps in `last` a list with the very items of `items`, in order: the list held while its items
// are exactly these, else a new copy; true when it made one. Comparing the item pointers reads
// one array; a copy touches every item.
bool refresh_reported(py::object& last, const py::list& items) {
  const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
  if (!last.is_none() && PyList_GET_SIZE(last.ptr()) == n) {
    PyObject** held = reinterpret_cast<PyListObject*>(last.ptr())->ob_item;
    PyObject** now = reinterpret_cast<PyListObject*>(items.ptr())->ob_item;
    if (n == 0 || std::equal(held, held + n, now)) return false;
  }
  last = py_values::list_copy(items);
  return true;
}

// The plain mapping of `info` that run_callback() sends, or None for a summary the pipeline
// skips: one that repeats the last summary its callback received with no other record between
// them, where it was asked to skip those.
py::object summary_mapping(const py::object& self, PipelineState& st) {
  if (!py::object(py::type::of(self).attr("info")).is(own_info_property)) {
    st.delivered_to = py::none();  // what a replaced `info` reports is not compared
    return self.attr("info").attr("dict")();
  }
  // What info.dict() gives, without building the record. This runs for every report: the
  // component, edge and package lists of the last report go out again while they hold exactly
  // the pipeline's items (a receiver that edited one gets a new copy).
  bool changed = refresh_reported(st.reported_components, rt().dag_summaries(self));
  changed |= refresh_reported(st.reported_edges, self.attr("_edge_entries"));
  changed |= refresh_reported(st.reported_requirements, st.requirements);
  py::list parameters = parameter_entries(st);
  py::str folder(st.cache_dir);
  if (st.skip_unchanged_summaries) {
    py::tuple rest = py::make_tuple(st.id, folder, parameters);
    changed |= !rest.equal(st.reported_rest);
    st.reported_rest = rest;
    // Unless its callback received the last summary and no record since (held by a weak
    // reference: it may have gone since).
    if (!changed && !st.delivered_to.is_none() && st.delivered_to().is(st.callback)) {
      return py::none();
    }
  }
  return py::dict(py::arg("id") = st.id, py::arg("components") = st.reported_components,
                  py::arg("edges") = st.reported_edges, py::arg("parameters") = parameters,
                  py::arg("diskcache_dir") = folder,
                  py::arg("python_requirements") = st.reported_requirements);
}

}  // namespace

py::object outcome_record(const py::handle& procedure, bool ok, const py::handle& msg,
                          const py::handle& successful, const py::handle& failed) {
  // Called with the keyword names made once (kept until the process ends): a record goes out
  // after every change of state.
  static PyObject* const names =
      py::make_tuple("procedure", "status", "msg", "successful", "failed").release().ptr();
  PyObject* args[] = {procedure.ptr(), (ok ? rt().callback_successful : rt().callback_failed).ptr(),
                      msg.ptr(), successful.ptr(), failed.ptr()};
  return py_values::checked(PyObject_Vectorcall(rt().callback_record.ptr(), args, 0, names));
}

void run_callback(const py::object& self, const py::object& data) {
  PipelineState& st = state(self);
  py::object callback = st.callback;
  if (!truthy(callback)) return;
  static const py::handle empty_text = pyclass::intern("").release();
  const bool summary = !truthy(data);
  py::object record = data;
  if (summary) {
    py::object mapping = summary_mapping(self, st);
    if (mapping.is_none()) return;
    record = outcome_record(rt().procedure_updated, true, empty_text, mapping);
  }
  // A summary counts as received once the callback returned; the one after any other record
  // always goes out. A callback that cannot be referred to weakly gets every summary.
  st.delivered_to = py::none();
  callback(record);
  if (summary && st.skip_unchanged_summaries) {
    py_values::quietly([&] { st.delivered_to = py::weakref(callback); });
  }
}

void register_lifecycle(py::module_& m, const py::object& cls) {
  namespace pc = orvane::pyclass;
  m.def("enroll_pipeline_to_env", &enroll_pipeline_to_env, py::arg("pipeline_id"),
        "Enroll DAG id as environment variable.");
  pc::def(cls, "__init__", &construct, py::arg("identifier") = py::none(),
          py::arg("graph") = py::none(), py::arg("parameters") = py::none(),
          py::arg("callback") = py::none(), py::arg("shell") = py::none(),
          py::arg("parameter_reach") = false, py::arg("kept_versions") = 0,
          py::arg("skip_unchanged_summaries") = false);
  pc::def(cls, "__del__", &destruct);
  pc::def_property_readonly(cls, "info", &info, "Summary information of pipeline.");
  pc::def(cls, "keep_diskcache", &keep_diskcache,
          "Leave the disk cache for a later kernel; returns its directory.");
  pc::def(cls, "run_callback", &run_callback, py::arg("data") = py::none(),
          "Run callback functions.");
  own_info_property = py::object(cls.attr("info")).release();
  pc::def(cls, "update_graph", &update_graph, py::arg("new_graph"),
          py::arg("replaces") = py::none(), "Apply a new graph model to the pipeline.");

  py_values::lookup("atexit:register")(py::cpp_function(&clear_at_exit));
}

}  // namespace orvane::pipeline
