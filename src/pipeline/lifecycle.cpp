// Pipeline members: construction, destruction, summary, graph updates and the exit clean-up.
#include <algorithm>
#include <optional>
#include <utility>

#include "common/pyclass.hpp"
#include "core/cache_paths.hpp"
#include "pipeline/ownership.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

// The kernel application's connection file, or None outside a kernel. The application is only
// asked when it already runs: instance() on a fresh process would create an empty application
// and mark it initialised, which would mislead every later check.
py::object kernel_connection() {
  py::object file = py::none();
  py_values::quietly([&] {
    py::object kernelapp = py_values::lookup("sys:modules.get")("ipykernel.kernelapp");
    if (kernelapp.is_none()) return;
    py::object app = kernelapp.attr("IPKernelApp");
    if (py::bool_(app.attr("initialized")())) file = app.attr("instance")().attr("connection_file");
  });
  return file;
}

// Exit clean-up. The exit registry holds no pipeline: it would keep every pipeline (and all its
// results) alive until the kernel ends. Instead the newest pipeline of each id owns that id's
// cache directory; only the owner clears it, at deletion or at exit, so that a superseded
// pipeline going away never deletes caches its successor has adopted (ownership.hpp).
void clear_at_exit() {
  py::list owners = ownership::live_owners();
  for (const py::handle& pipeline : owners) {
    try {
      clear_diskcaches(py::reinterpret_borrow<py::object>(pipeline));
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("clearing the disk cache of a pipeline at exit");
    }
  }
}

void enroll_pipeline_to_env(const std::optional<py::str>& pipeline_id) {
  py::object value = pipeline_id ? py::object(*pipeline_id) : py::object(py::none());
  // The environment itself rejects None, with its own TypeError.
  py_values::lookup("os:environ.__setitem__")("ORVANE_DAG", value);
}

void construct(const py::object& self, const py::object& identifier, const py::object& graph,
               const py::object& parameters, const py::object& callback, const py::object& shell,
               bool parameter_reach, std::size_t kept_versions) {
  py::type::of<PipelineState>().attr("__init__")(self);
  PipelineState& st = state(self);
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
  py::str folder(pipeline_folder_name(py::str(st.id).cast<std::string>()));
  st.cache_dir = temp.attr("__truediv__")("pipelines").attr("__truediv__")(folder);
  if (truthy(parameters)) set_parameters(self, parameters);

  // Checked and created level by level, private, never through a link; another kernel's
  // directory is adopted as a copy of its own.
  ownership::Claim claim = ownership::claim_directory(self, temp);
  if (claim.adopt) load_diskcache(self, py::str(claim.path), py::none());

  st.connection = kernel_connection();
  st.writer = py::none();
  restart_writer(st);
  st.optimizer = py::none();
  enroll_pipeline_to_env(py::str(st.id));

  ownership::become_owner(self, claim);
}

void destruct(const py::object& self) {
  // A pipeline whose construction failed before its native state existed has nothing to release.
  auto* st = py::isinstance<PipelineState>(self) ? &state(self) : nullptr;
  if (st == nullptr || !truthy(st->writer)) return;
  st->writer.attr("close")();
  st->writer = py::none();

  // Without a token the construction did not complete: such a pipeline never owns the
  // directory, which may belong to a live pipeline with the same id. A pipeline whose directory
  // went to a newer one, or a copy inherited by a forked child, lets go without deleting.
  if (ownership::is_owner(self)) {
    clear_diskcaches(self);
    ownership::give_up(self);
    return;
  }
  ownership::let_go_of_caches(self);
}

// Leaves the disk cache for a later kernel: the writer finishes the write in progress and
// stops, and the pipeline no longer owns its directory, so that neither deleting the pipeline
// nor the exit clean-up removes it. A later pipeline with the same id adopts it. Writes still
// queued are dropped: wait for them first (update_diskcache_status) to keep them.
py::str keep_diskcache(const py::object& self) {
  PipelineState& st = state(self);
  if (truthy(st.writer)) {
    py::object writer = std::exchange(st.writer, py::none());
    writer.attr("close")();
  }
  ownership::give_up(self);
  st.paused.forget();  // left for the later kernel with the rest
  return py::str(st.cache_dir);
}

py::object info(const py::object& self) {
  py::object base = rt().dag_info(self);
  // The base record's fields as they are: the new record's dict() makes them plain, and the
  // component list is already a copy made for this summary, so it is not copied a second time.
  py::object names = py::getattr(base, "__struct_fields__", py::none());
  py::dict fields;
  if (names.is_none()) {
    fields = base.attr("dict")();
  } else {
    for (const py::handle& name : names) fields[name] = base.attr(name);
  }
  // Keyword unpacking rejects a base summary that already carries one of the added fields.
  const PipelineState& st = state(self);
  return rt().pipeline_info(**fields, py::arg("parameters") = parameters_view(st),
                            py::arg("diskcache_dir") = py::str(st.cache_dir),
                            py::arg("python_requirements") = st.requirements);
}

// Set at registration: the class's own `info` property, and whether the summary mapping may be
// built directly (the records have the layout this file was written for).
py::handle own_info_property;
bool direct_summary = false;

bool records_match_summary_layout() {
  py::object dag = py_values::lookup("orvane_core.misc.models:OrvaneDagInfoModel");
  py::tuple base = dag.attr("__struct_fields__");
  py::tuple full = rt().pipeline_info.attr("__struct_fields__");
  py::object plain = dag.attr("__plain_fields__");
  py::tuple expected = py::make_tuple("id", "components", "edges");
  py::tuple added = py::make_tuple("parameters", "diskcache_dir", "python_requirements");
  return base.equal(expected) && full.equal(expected + added) && plain.contains("components") &&
         plain.contains("edges");
}

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

}  // namespace

namespace {
// `last` if it is a list with the very items of `items` in order, else a new copy of `items`,
// kept as `last`. Comparing the item pointers reads one array; a copy touches every item.
const py::object& reported_list(py::object& last, const py::object& items) {
  PyObject* source = items.ptr();
  if (!PyList_Check(source)) throw py::type_error("a summary list must be a list");
  PyObject* held = last.ptr();
  const Py_ssize_t n = PyList_GET_SIZE(source);
  if (held != Py_None && PyList_GET_SIZE(held) == n) {
    PyObject** a = reinterpret_cast<PyListObject*>(held)->ob_item;
    PyObject** b = reinterpret_cast<PyListObject*>(source)->ob_item;
    if (n == 0 || std::equal(a, a + n, b)) return last;
  }
  PyObject* copy = PyList_GetSlice(source, 0, n);
  if (copy == nullptr) throw py::error_already_set();
  last = py::reinterpret_steal<py::object>(copy);
  return last;
}
}  // namespace

py::object summary_mapping(const py::object& self) {
  if (!direct_summary || !py::object(py::type::of(self).attr("info")).is(own_info_property)) {
    return self.attr("info").attr("dict")();
  }
  // What info.dict() gives, without building the record and copying the component and edge
  // lists a second time: the graph base hands out fresh copies already. This runs for every
  // report, so it must not copy what grows with the pipeline more than once.
  PipelineState& st = state(self);
  py::dict out;
  out["id"] = st.id;
  out["components"] = reported_list(st.reported_components, rt().dag_summaries(self));
  // Edges and packages rarely change between reports: the last report's list goes out again
  // while it holds exactly the pipeline's items (a receiver that edited it gets a new copy).
  out["edges"] = reported_list(st.reported_edges, self.attr("_edge_entries"));
  out["parameters"] = rt().plain(parameters_view(st));
  out["diskcache_dir"] = py::str(st.cache_dir);
  out["python_requirements"] = reported_list(st.reported_requirements, st.requirements);
  return out;
}

void register_lifecycle(py::module_& m, const py::object& cls) {
  namespace pc = orvane::pyclass;
  m.def("enroll_pipeline_to_env", &enroll_pipeline_to_env, py::arg("pipeline_id"),
        "Enroll DAG id as environment variable.");
  pc::def(cls, "__init__", &construct, py::arg("identifier") = py::none(),
          py::arg("graph") = py::none(), py::arg("parameters") = py::none(),
          py::arg("callback") = py::none(), py::arg("shell") = py::none(),
          py::arg("parameter_reach") = false, py::arg("kept_versions") = 0);
  pc::def(cls, "__del__", &destruct);
  pc::def_property_readonly(cls, "info", &info, "Summary information of pipeline.");
  pc::def(cls, "keep_diskcache", &keep_diskcache,
          "Leave the disk cache for a later kernel; returns its directory.");
  own_info_property = py::object(cls.attr("info")).release();
  direct_summary = records_match_summary_layout();
  // Overrides the base's method: registered without pybind11's overload chaining, which would
  // refuse the inherited Python function as a sibling.
  py::setattr(cls, "update_graph",
              py::cpp_function(&update_graph, py::name("update_graph"), py::is_method(cls),
                               py::arg("new_graph"), py::arg("replaces") = py::none(),
                               "Apply a new graph model to the pipeline."));

  py_values::lookup("atexit:register")(py::cpp_function(&clear_at_exit));
}

}  // namespace orvane::pipeline
