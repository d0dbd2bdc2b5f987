// Component identity, properties with their setter rules, the status state machine and info.
#include "common/pyclass.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;
using pyclass::intern;

namespace {
Refs* g_refs = nullptr;
Names* g_names = nullptr;

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

py::object import_attr(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}
}  // namespace

const Refs& refs() { return *g_refs; }
const Names& names() { return *g_names; }

void init_refs(py::module_& m) {
  auto* r = new Refs();
  r->module_dict = m.attr("__dict__");
  r->logging_mixin = import_attr("orvane_core.common.mixins", "LoggingMixin");
  py::module_ misc = py::module_::import("orvane_core.misc");
  r->component_status = misc.attr("OrvaneComponentStatus");
  r->status_invalid = r->component_status.attr("INVALID");
  r->status_running = r->component_status.attr("RUNNING");
  r->status_successful = r->component_status.attr("SUCCESSFUL");
  r->status_failed = r->component_status.attr("FAILED");
  r->diskcache_status = misc.attr("OrvaneDiskcacheStatus");
  r->dc_uncached = r->diskcache_status.attr("UNCACHED");
  r->dc_cached = r->diskcache_status.attr("CACHED");
  r->dc_failed = r->diskcache_status.attr("FAILED");
  r->pipeline_error = misc.attr("OrvanePipelineError");
  r->in_memory_cache = import_attr("orvane_core.cache.memory", "OrvaneInMemoryCache");
  r->captured_io = import_attr("orvane_core.capture", "OrvaneCapturedIO");
  py::module_ models = py::module_::import("orvane_core.misc.models");
  r->in_out_model = models.attr("OrvaneComponentInOutModel");
  r->metadata_model = models.attr("OrvaneComponentMetadataModel");
  r->info_model = models.attr("OrvaneComponentInfoModel");
  r->request_model = models.attr("OrvaneExecutionRequestModel");
  r->outputs_summary_model = models.attr("OrvaneComponentOutputsSummaryModel");
  py::object http = import_attr("http", "HTTPStatus");
  r->http_ok = http.attr("OK");
  r->http_partial = http.attr("PARTIAL_CONTENT");
  r->sys = py::module_::import("sys");
  r->builtins_eval = import_attr("builtins", "eval");
  r->builtins_print = import_attr("builtins", "print");
  r->format_exception = import_attr("traceback", "format_exception");
  g_refs = r;

  auto* n = new Names();
  n->id = intern("_id");
  n->name = intern("_name");
  n->cell_code = intern("_cell_code");
  n->metadata = intern("_metadata");
  n->status = intern("_status");
  n->success_count = intern("_success_count");
  n->in_and_out = intern("_in_and_out");
  n->in_memory_cache = intern("_in_memory_cache");
  n->diskcache = intern("_diskcache");
  n->diskcache_status = intern("_diskcache_status");
  n->summary_sink = intern("_summary_sink");
  n->info_cache = intern("_info_cache");
  n->info_gen = intern("_info_gen");
  n->f_diskcache = intern("diskcache");
  n->f_remote = intern("remoteExecution");
  n->f_component_type = intern("componentType");
  n->f_module_statements = intern("module_statements");
  n->f_non_module_outputs = intern("non_module_outputs");
  n->f_last_output = intern("last_output");
  n->f_captured = intern("captured");
  n->f_exception_msg = intern("exception_msg");
  n->f_outputs_summary = intern("outputs_summary");
  n->f_outputs = intern("outputs");
  n->f_inputs = intern("inputs");
  n->f_imports = intern("imports");
  n->f_summary = intern("summary");
  n->f_cache_dir = intern("cache_dir");
  n->f_result = intern("result");
  n->f_message = intern("message");
  n->f_backend = intern("backend");
  n->f_broker = intern("broker");
  g_names = n;
}

bool holds_value(py::handle value) {
  if (value.is_none()) return false;
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) {
    PyErr_Clear();
    return true;
  }
  return r != 0;
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, from_utf8(message).ptr());
  throw py::error_already_set();
}

std::string utf8(py::handle text) {
  py::object s = py::reinterpret_steal<py::object>(PyObject_Str(text.ptr()));
  if (!s) throw py::error_already_set();
  PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
  if (b == nullptr) throw py::error_already_set();
  py::bytes bytes = py::reinterpret_steal<py::bytes>(b);
  return std::string(bytes);
}

py::str from_utf8(const std::string& text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

std::string format_text(py::handle value) {
  PyObject* s = PyObject_Format(value.ptr(), nullptr);
  if (s == nullptr) throw py::error_already_set();
  return utf8(py::reinterpret_steal<py::object>(s));
}

void require_text_or_none(py::handle value, const char* argument) {
  if (value.is_none() || PyUnicode_Check(value.ptr())) return;
  raise(PyExc_TypeError,
        std::string(argument) + " must be str or None, not " + Py_TYPE(value.ptr())->tp_name);
}

std::pair<py::object, py::object> unpack2(py::handle iterable) {
  py::object values[2];
  int count = 0;
  for (py::handle item : iterable) {
    if (count == 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    values[count++] = py::reinterpret_borrow<py::object>(item);
  }
  if (count != 2) {
    raise(PyExc_ValueError,
          "not enough values to unpack (expected 2, got " + std::to_string(count) + ")");
  }
  return {values[0], values[1]};
}

void touch(py::handle self) {
  const Names& n = names();
  // A generation number lets _info_dict notice a change made while it was building the summary
  // (completion callbacks run on the pool's result thread and can interleave with the build).
  py::object gen = get(self, n.info_gen);
  set(self, n.info_gen, py::int_(gen.cast<long long>() + 1));
  if (!get(self, n.info_cache).is_none()) set(self, n.info_cache, py::none());
  py::object sink = get(self, n.summary_sink);
  if (!sink.is_none()) sink.attr("add")(get(self, n.id));
}

// ---- status state machine and setters ----

void set_in_and_out(py::handle self, py::handle new_info) {
  const Names& n = names();
  if (equal(get(self, n.in_and_out), new_info)) return;
  py::object value =
      new_info.is_none() ? refs().in_out_model() : py::reinterpret_borrow<py::object>(new_info);
  set(self, n.in_and_out, value);
  touch(self);
}

void set_diskcache_status(py::handle self, py::handle new_status) {
  const Refs& r = refs();
  if (!py::isinstance(new_status, r.diskcache_status)) {
    raise(PyExc_AssertionError, format_text(new_status) + " is not a valid diskcache status.");
  }
  if (equal(new_status, r.dc_uncached)) unload_diskcache(self);
  set(self, names().diskcache_status, new_status);
  touch(self);
}

void set_status(py::handle self, py::handle new_status) {
  const Refs& r = refs();
  const Names& n = names();
  if (!py::isinstance(new_status, r.component_status)) {
    raise(PyExc_AssertionError, format_text(new_status) + " is not a valid component status.");
  }
  if (equal(new_status, get(self, n.status))) return;
  if (!equal(new_status, r.status_successful)) {
    if (equal(new_status, r.status_invalid)) {
      clear_cache(self);
      set_diskcache_status(self, r.dc_uncached);
    }
    set_in_and_out(self, r.in_out_model());
  } else {
    py::object count = get(self, n.success_count);
    set(self, n.success_count, count + py::int_(1));
  }
  set(self, n.status, new_status);
  touch(self);
}

namespace {

bool use_diskcache(py::handle self) {
  return truthy(get(get(self, names().metadata), names().f_diskcache));
}

// The cache that serves reads: the disk cache when it is enabled, attached and memory is empty.
py::object cache_source(py::handle self, bool* from_disk) {
  const Names& n = names();
  py::object memory = get(self, n.in_memory_cache);
  *from_disk = false;
  if (use_diskcache(self)) {
    py::object disk = get(self, n.diskcache);
    if (!disk.is_none() && equal(memory, refs().in_memory_cache())) {
      *from_disk = true;
      return disk;
    }
  }
  return memory;
}

py::object diskcache_status_get(py::handle self) {
  const Names& n = names();
  if (use_diskcache(self) && !get(self, n.diskcache).is_none()) return refs().dc_cached;
  return get(self, n.diskcache_status);
}

py::object diskcache_dir_get(py::handle self) {
  py::object disk = get(self, names().diskcache);
  if (disk.is_none()) return py::none();
  return get(disk, names().f_cache_dir);
}

void init(py::object self, py::object component) {
  const Refs& r = refs();
  const Names& n = names();
  r.logging_mixin.attr("__init__")(self);
  if (!truthy(r.sys.attr("flags").attr("optimize"))) {
    std::string qualname = utf8(py::type::of(self).attr("__qualname__"));
    if (qualname.rfind("OrvaneComponent", 0) != 0) {
      raise(PyExc_AssertionError, "Class name must start with 'OrvaneComponent'.");
    }
  }
  py::handle metadata_name = intern("metadata");
  if (get(component, metadata_name).is_none()) set(component, metadata_name, r.metadata_model());
  set(self, n.id, get(component, intern("id")));
  set(self, n.name, get(component, intern("name")));
  set(self, n.cell_code, get(component, intern("code")));
  set(self, n.metadata, get(component, metadata_name));
  set(self, n.status, r.status_invalid);
  set(self, n.success_count, py::int_(0));
  set(self, n.in_and_out, r.in_out_model());
  set(self, n.in_memory_cache, r.in_memory_cache());
  set(self, n.diskcache, py::none());
  set(self, n.diskcache_status, r.dc_uncached);
}

py::object info(py::handle self) {
  const Names& n = names();
  py::object io = get(self, n.in_and_out);
  return refs().info_model(
      "identifier"_a = get(self, n.id), "name"_a = get(self, n.name),
      "code"_a = get(self, n.cell_code), "metadata"_a = get(self, n.metadata),
      "execution_status"_a = get(self, n.status), "diskcache_status"_a = diskcache_status_get(self),
      "diskcache_dir"_a = diskcache_dir_get(self), "inputs"_a = get(io, n.f_inputs),
      "outputs"_a = get(io, n.f_outputs), "imports"_a = get(io, n.f_imports),
      "summary"_a = outputs_summary(self), "last_execution"_a = "");
}

py::object info_dict(py::handle self) {
  const Names& n = names();
  py::object cached = get(self, n.info_cache);
  if (!cached.is_none()) return cached;
  py::object gen = get(self, n.info_gen);
  py::object built = info(self).attr("dict")();
  // Keep it only if nothing changed while it was being built.
  if (equal(gen, get(self, n.info_gen))) set(self, n.info_cache, built);
  return built;
}

py::object outputs(py::object self) {
  const Refs& r = refs();
  py::dict out;
  py::object values = cache_get(self, names().f_non_module_outputs);
  if (!values.is_none()) {
    if (PyDict_Update(out.ptr(), values.ptr()) != 0) throw py::error_already_set();
  }
  py::object statements = cache_get(self, names().f_module_statements);
  if (statements.is_none()) return std::move(out);
  for (py::handle item : statements.attr("items")()) {
    auto [symbol, statement] = unpack2(item);
    py::dict locals("outputs"_a = out, "self"_a = self, "stmt"_a = statement, "sym"_a = symbol);
    out[symbol] = r.builtins_eval(statement, r.module_dict, locals);
  }
  return std::move(out);
}

py::object last_expr(py::handle self) {
  py::object format_code = import_attr("orvane_core.common", "format_code");
  py::object parse =
      import_attr("orvane_core.executors.component_executors.utils", "parse_last_expr_from_code");
  auto [expr, rest] = unpack2(parse(format_code(get(self, names().cell_code))));
  if (!PyUnicode_Check(expr.ptr())) {
    raise(PyExc_TypeError,
          std::string("last expression must be str, not ") + Py_TYPE(expr.ptr())->tp_name);
  }
  return expr;
}

void set_metadata(py::handle self, py::handle new_metadata) {
  const Refs& r = refs();
  const Names& n = names();
  py::object current = get(self, n.metadata);
  if (equal(current, new_metadata)) return;
  py::object value = new_metadata.is_none() ? r.metadata_model()
                                            : py::reinterpret_borrow<py::object>(new_metadata);
  // A remote configuration survives an update that does not carry one.
  if (get(value, n.f_remote).is_none()) {
    py::object remote = get(current, n.f_remote);
    if (!remote.is_none()) set(value, n.f_remote, remote);
  }
  set(self, n.metadata, value);
  touch(self);
}

void set_use_diskcache(py::handle self, py::handle value) {
  const Names& n = names();
  py::object metadata = get(self, n.metadata);
  if (equal(get(metadata, n.f_diskcache), value)) return;
  const bool enabled = truthy(value);
  if (!enabled) set_diskcache_status(self, refs().dc_uncached);
  set(metadata, n.f_diskcache, py::bool_(enabled));
  touch(self);
}

void set_remote_config(py::handle self, py::handle value) {
  const Names& n = names();
  py::object metadata = get(self, n.metadata);
  if (equal(get(metadata, n.f_remote), value)) return;
  set(metadata, n.f_remote, truthy(value) ? value : py::none());
  touch(self);
}

}  // namespace

py::object remote_config(py::handle self) {
  return get(get(self, names().metadata), names().f_remote);
}

py::object cache_get(py::handle self, py::handle field) {
  bool from_disk = false;
  py::object source = cache_source(self, &from_disk);
  if (source.is_none()) return py::none();
  return get(source, field);
}

void cache_set(py::handle self, py::handle field, py::handle value) {
  const Names& n = names();
  py::object memory = get(self, n.in_memory_cache);
  if (memory.is_none()) {
    memory = refs().in_memory_cache();
    set(self, n.in_memory_cache, memory);
  }
  set(memory, field, value);
  touch(self);
}

py::object outputs_summary(py::handle self) {
  bool from_disk = false;
  py::object source = cache_source(self, &from_disk);
  if (!from_disk && source.is_none()) return refs().outputs_summary_model();
  return get(source, names().f_outputs_summary);
}

void register_state(const py::object& cls) {
  const Names& n = names();
  // Defaults for attributes that the pipeline may set later; instances start without them.
  cls.attr("_summary_sink") = py::none();
  cls.attr("_info_cache") = py::none();
  cls.attr("_info_gen") = py::int_(0);

  pyclass::def(cls, "__init__", &init, py::arg("component"));
  pyclass::def(cls, "__del__", [](py::object self) {
    if (interpreter_finalizing()) return;
    if (py::getattr(self, names().diskcache, py::none()).is_none()) return;
    clear_diskcache(self);
  });

  pyclass::def_property_readonly(cls, "id", [](py::object self) { return get(self, names().id); });
  pyclass::def_property(
      cls, "name", [](py::object self) { return get(self, names().name); },
      [](py::object self, py::object new_name) {
        require_text_or_none(new_name, "new_name");
        if (equal(get(self, names().name), new_name)) return;
        set(self, names().name, new_name);
        touch(self);
      });
  pyclass::def_property(
      cls, "cell_code", [](py::object self) { return get(self, names().cell_code); },
      [](py::object self, py::object new_cell_code) {
        require_text_or_none(new_cell_code, "new_cell_code");
        if (equal(get(self, names().cell_code), new_cell_code)) return;
        set(self, names().cell_code, new_cell_code);
        touch(self);
        set_status(self, refs().status_invalid);
      });
  pyclass::def_property_readonly(cls, "last_expr", [](py::object self) { return last_expr(self); });
  pyclass::def_property(
      cls, "metadata", [](py::object self) { return get(self, names().metadata); },
      [](py::object self, py::object value) { set_metadata(self, value); });
  pyclass::def_property(
      cls, "status", [](py::object self) { return get(self, names().status); },
      [](py::object self, py::object value) { set_status(self, value); });
  pyclass::def_property_readonly(cls, "success_count",
                                 [](py::object self) { return get(self, names().success_count); });
  pyclass::def_property_readonly(cls, "component_type", [](py::object self) {
    return get(get(self, names().metadata), names().f_component_type);
  });
  pyclass::def_property(
      cls, "in_and_out", [](py::object self) { return get(self, names().in_and_out); },
      [](py::object self, py::object value) { set_in_and_out(self, value); });
  pyclass::def_property(
      cls, "use_diskcache",
      [](py::object self) { return get(get(self, names().metadata), names().f_diskcache); },
      [](py::object self, py::object value) { set_use_diskcache(self, value); });
  pyclass::def_property(
      cls, "remote_config", [](py::object self) { return remote_config(self); },
      [](py::object self, py::object value) { set_remote_config(self, value); });
  pyclass::def_property(
      cls, "diskcache_dir", [](py::object self) { return diskcache_dir_get(self); },
      [](py::object self, py::object new_diskcache_dir) {
        require_text_or_none(new_diskcache_dir, "new_diskcache_dir");
        load_diskcache(self, new_diskcache_dir);
      });
  pyclass::def_property(
      cls, "diskcache_status", [](py::object self) { return diskcache_status_get(self); },
      [](py::object self, py::object value) { set_diskcache_status(self, value); });

  for (py::handle field : {n.f_module_statements, n.f_non_module_outputs, n.f_last_output,
                           n.f_captured, n.f_exception_msg}) {
    const std::string field_name = py::str(field);
    pyclass::def_property(
        cls, field_name.c_str(), [field](py::object self) { return cache_get(self, field); },
        [field](py::object self, py::object value) { cache_set(self, field, value); });
  }
  pyclass::def_property(
      cls, "outputs_summary", [](py::object self) { return outputs_summary(self); },
      [](py::object self, py::object value) { cache_set(self, names().f_outputs_summary, value); });
  pyclass::def_property_readonly(cls, "exception", [](py::object self) -> py::object {
    py::object lines = cache_get(self, names().f_exception_msg);
    if (lines.is_none() || !truthy(lines)) return py::none();
    return refs().pipeline_error("picked_stb"_a = lines);
  });
  pyclass::def_property_readonly(cls, "outputs", [](py::object self) { return outputs(self); });
  pyclass::def_property_readonly(cls, "info", [](py::object self) { return info(self); });
  pyclass::def(cls, "_info_dict", [](py::object self) { return info_dict(self); });
}

}  // namespace orvane::vostrel
