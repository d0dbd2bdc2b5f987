// Component identity, properties with their setter rules, the status changes and info.
#include "common/pyclass.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;

namespace {
Refs* g_refs = nullptr;

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

constexpr const char* kFieldNames[] = {"module_statements", "non_module_outputs",
                                       "last_output",       "captured",
                                       "exception_msg",     "outputs_summary"};
}  // namespace

const Refs& refs() { return *g_refs; }
const char* field_name(Field field) { return kFieldNames[static_cast<int>(field)]; }

void init_refs(py::module_& m, py::handle native_class) {
  auto* r = new Refs();
  r->module_dict = m.attr("__dict__");
  r->native_init = native_class.attr("__init__");
  r->logging_init = import_attr("orvane_core.common.mixins", "LoggingMixin").attr("__init__");
  py::module_ misc = py::module_::import("orvane_core.misc");
  r->component_status = misc.attr("OrvaneComponentStatus");
  for (Status s : component::kStatuses) {
    r->status[static_cast<int>(s)] = r->component_status(component::to_string(s));
  }
  r->diskcache_status = misc.attr("OrvaneDiskcacheStatus");
  for (DiskStatus s : component::kDiskStatuses) {
    r->disk[static_cast<int>(s)] = r->diskcache_status(component::to_string(s));
  }
  r->pipeline_error = misc.attr("OrvanePipelineError");
  r->in_memory_cache = import_attr("orvane_core.cache.memory", "OrvaneInMemoryCache");
  r->captured_io = import_attr("orvane_core.capture", "OrvaneCapturedIO");
  py::module_ models = py::module_::import("orvane_core.misc.models");
  r->in_out_model = models.attr("OrvaneComponentInOutModel");
  r->metadata_model = models.attr("OrvaneComponentMetadataModel");
  r->info_model = models.attr("OrvaneComponentInfoModel");
  r->request_model = models.attr("OrvaneExecutionRequestModel");
  r->outputs_summary_model = models.attr("OrvaneComponentOutputsSummaryModel");
  r->cache_model = models.attr("OrvaneCacheModel");
  r->variable_model = models.attr("OrvaneOutputVariableModel");
  r->plain = models.attr("_plain");
  py::object http = import_attr("http", "HTTPStatus");
  r->http_ok = http.attr("OK");
  r->http_partial = http.attr("PARTIAL_CONTENT");
  r->sys = py::module_::import("sys");
  r->builtins_eval = import_attr("builtins", "eval");
  r->builtins_print = import_attr("builtins", "print");
  g_refs = r;
}

namespace {
// The member of `members` that `value` is, or -1. Members are singletons, so identity decides
// first; equality covers a member that was copied.
int member_index(const py::object (&members)[4], py::handle value) {
  for (int i = 0; i < 4; ++i) {
    if (members[i].is(value)) return i;
  }
  for (int i = 0; i < 4; ++i) {
    if (equal(members[i], value)) return i;
  }
  return -1;
}
}  // namespace

Status status_from_py(py::handle value) {
  const Refs& r = refs();
  const int i = py::isinstance(value, r.component_status) ? member_index(r.status, value) : -1;
  if (i < 0) raise(PyExc_AssertionError, format_text(value) + " is not a valid component status.");
  return static_cast<Status>(i);
}

DiskStatus disk_status_from_py(py::handle value) {
  const Refs& r = refs();
  const int i = py::isinstance(value, r.diskcache_status) ? member_index(r.disk, value) : -1;
  if (i < 0) raise(PyExc_AssertionError, format_text(value) + " is not a valid diskcache status.");
  return static_cast<DiskStatus>(i);
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

// ---- status and record changes ----

void set_in_and_out(ComponentNative& c, py::handle new_info) {
  if (equal(c.in_and_out, new_info)) return;
  c.in_and_out =
      new_info.is_none() ? refs().in_out_model() : py::reinterpret_borrow<py::object>(new_info);
  c.touch();
}

void set_diskcache_status(ComponentNative& c, DiskStatus next) {
  if (next == DiskStatus::Uncached) unload_diskcache(c);
  c.mark_disk_status(next);
}

void set_status(ComponentNative& c, Status next) {
  const component::StatusChange change = c.run.plan(next);
  if (!change.changed) return;
  if (change.clear_caches) {
    clear_cache(c);
    set_diskcache_status(c, DiskStatus::Uncached);
  }
  if (change.reset_in_and_out) set_in_and_out(c, refs().in_out_model());
  // Committed last: a thread polling the status never sees it before the rest is in place.
  c.run.commit(change);
  c.touch();
}

namespace {

// The in-memory cache compares equal to a new empty one. A cache of the package's own class
// answers that itself; anything else is compared with a new instance.
bool memory_holds_nothing(const ComponentNative& c) {
  if (c.memory.is_none()) return false;
  if (Py_TYPE(c.memory.ptr()) == reinterpret_cast<PyTypeObject*>(refs().in_memory_cache.ptr())) {
    return c.memory_cache_empty();
  }
  return equal(c.memory, refs().in_memory_cache());
}

// The cache that serves reads, or None.
const py::object& cache_source(const ComponentNative& c, bool* from_disk) {
  *from_disk = component::reads_from_disk(c.diskcache_enabled(), c.disk.attached(),
                                          [&c] { return memory_holds_nothing(c); });
  return *from_disk ? c.diskcache_handle : c.memory;
}

py::object diskcache_dir(const ComponentNative& c) {
  if (c.diskcache_handle.is_none()) return py::none();
  return get(c.diskcache_handle, "cache_dir");
}

void init(py::object self, py::object record) {
  const Refs& r = refs();
  r.native_init(self);
  r.logging_init(self);
  if (!truthy(get(get(r.sys, "flags"), "optimize"))) {
    std::string qualname = utf8(get(py::type::of(self), "__qualname__"));
    if (qualname.rfind("OrvaneComponent", 0) != 0) {
      raise(PyExc_AssertionError, "Class name must start with 'OrvaneComponent'.");
    }
  }
  if (get(record, "metadata").is_none()) set(record, "metadata", r.metadata_model());
  ComponentNative& c = native(self);
  c.id = get(record, "id");
  c.name = get(record, "name");
  c.cell_code = get(record, "code");
  c.metadata = get(record, "metadata");
  c.in_and_out = r.in_out_model();
  c.memory = r.in_memory_cache();
}

py::object info(const ComponentNative& c) {
  return refs().info_model(
      "identifier"_a = c.id, "name"_a = c.name, "code"_a = c.cell_code, "metadata"_a = c.metadata,
      "execution_status"_a = to_py(c.status()), "diskcache_status"_a = to_py(c.disk_status()),
      "diskcache_dir"_a = diskcache_dir(c), "inputs"_a = get(c.in_and_out, "inputs"),
      "outputs"_a = get(c.in_and_out, "outputs"), "imports"_a = get(c.in_and_out, "imports"),
      "summary"_a = outputs_summary(c), "last_execution"_a = "");
}

namespace {
// A field's value as the record's dict() gives it: texts and None as they are, a list of texts
// copied, anything else through the records' own conversion.
py::object plain_field(py::object value) {
  PyObject* v = value.ptr();
  if (v == Py_None || PyUnicode_CheckExact(v)) return value;
  if (PyList_CheckExact(v)) {
    const Py_ssize_t n = PyList_GET_SIZE(v);
    bool texts = true;
    for (Py_ssize_t i = 0; i < n && texts; ++i) texts = PyUnicode_CheckExact(PyList_GET_ITEM(v, i));
    if (texts) {
      PyObject* copy = PyList_GetSlice(v, 0, n);
      if (copy == nullptr) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(copy);
    }
  }
  return refs().plain(value);
}

// The entry's keys, in the record's field order.
enum Key {
  kIdentifier,
  kName,
  kCode,
  kMetadata,
  kExecution,
  kDisk,
  kDir,
  kInputs,
  kOutputs,
  kImports,
  kSummary,
  kLast,
  kKeys
};

void put(py::dict& out, Key key, py::handle value) {
  static const py::handle names[kKeys] = {pyclass::intern("identifier"),
                                          pyclass::intern("name"),
                                          pyclass::intern("code"),
                                          pyclass::intern("metadata"),
                                          pyclass::intern("execution_status"),
                                          pyclass::intern("diskcache_status"),
                                          pyclass::intern("diskcache_dir"),
                                          pyclass::intern("inputs"),
                                          pyclass::intern("outputs"),
                                          pyclass::intern("imports"),
                                          pyclass::intern("summary"),
                                          pyclass::intern("last_execution")};
  if (PyDict_SetItem(out.ptr(), names[key].ptr(), value.ptr()) != 0) throw py::error_already_set();
}
}  // namespace

// What info().dict() gives, built directly: the entry is rebuilt after most changes of state and
// goes out with every report, and the intermediate record was most of its cost.
py::object build_info_dict(const ComponentNative& c) {
  py::dict out;
  put(out, kIdentifier, c.id);
  put(out, kName, plain_field(c.name));
  put(out, kCode, plain_field(c.cell_code));
  put(out, kMetadata, plain_field(c.metadata));
  put(out, kExecution, to_py(c.status()));
  put(out, kDisk, to_py(c.disk_status()));
  put(out, kDir, plain_field(diskcache_dir(c)));
  put(out, kInputs, plain_field(get(c.in_and_out, "inputs")));
  put(out, kOutputs, plain_field(get(c.in_and_out, "outputs")));
  put(out, kImports, plain_field(get(c.in_and_out, "imports")));
  put(out, kSummary, plain_field(outputs_summary(c)));
  put(out, kLast, py::str(""));
  return std::move(out);
}

py::object info_dict(ComponentNative& c) {
  if (!c.info_cache.is_none()) return c.info_cache;
  const std::uint64_t generation = c.info_generation;
  py::object built = build_info_dict(c);
  // Kept only if nothing changed while it was being built.
  if (generation == c.info_generation) c.info_cache = built;
  return built;
}

py::object outputs(py::object self) {
  const Refs& r = refs();
  const ComponentNative& c = native(self);
  py::dict out;
  py::object values = cache_get(c, Field::NonModuleOutputs);
  if (!values.is_none()) {
    if (PyDict_Update(out.ptr(), values.ptr()) != 0) throw py::error_already_set();
  }
  py::object statements = cache_get(c, Field::ModuleStatements);
  if (statements.is_none()) return std::move(out);
  for (py::handle item : statements.attr("items")()) {
    auto [symbol, statement] = unpack2(item);
    py::dict locals("outputs"_a = out, "self"_a = self, "stmt"_a = statement, "sym"_a = symbol);
    out[symbol] = r.builtins_eval(statement, r.module_dict, locals);
  }
  return std::move(out);
}

py::object last_expr(const ComponentNative& c) {
  py::object format_code = import_attr("orvane_core.common", "format_code");
  py::object parse =
      import_attr("orvane_core.executors.component_executors.utils", "parse_last_expr_from_code");
  auto [expr, rest] = unpack2(parse(format_code(c.cell_code)));
  if (!PyUnicode_Check(expr.ptr())) {
    raise(PyExc_TypeError,
          std::string("last expression must be str, not ") + Py_TYPE(expr.ptr())->tp_name);
  }
  return expr;
}

void set_metadata(ComponentNative& c, py::handle new_metadata) {
  if (equal(c.metadata, new_metadata)) return;
  py::object value = new_metadata.is_none() ? refs().metadata_model()
                                            : py::reinterpret_borrow<py::object>(new_metadata);
  // A remote configuration survives an update that does not carry one.
  if (get(value, "remoteExecution").is_none()) {
    py::object remote = get(c.metadata, "remoteExecution");
    if (!remote.is_none()) set(value, "remoteExecution", remote);
  }
  c.metadata = value;
  c.touch();
}

void set_use_diskcache(ComponentNative& c, py::handle value) {
  if (equal(get(c.metadata, "diskcache"), value)) return;
  const bool enabled = truthy(value);
  if (!enabled) set_diskcache_status(c, DiskStatus::Uncached);
  set(c.metadata, "diskcache", py::bool_(enabled));
  c.touch();
}

void set_remote_config(ComponentNative& c, py::handle value) {
  if (equal(get(c.metadata, "remoteExecution"), value)) return;
  set(c.metadata, "remoteExecution", truthy(value) ? value : py::none());
  c.touch();
}

template <typename F>
auto with_native(F f) {
  return [f](py::object self) { return f(native(self)); };
}

// A text property: rejects anything but text or None, and does nothing for an equal value.
bool set_text(ComponentNative& c, py::object ComponentNative::* member, py::handle value,
              const char* argument) {
  require_text_or_none(value, argument);
  if (equal(c.*member, value)) return false;
  c.*member = py::reinterpret_borrow<py::object>(value);
  c.touch();
  return true;
}

}  // namespace

py::object cache_get(const ComponentNative& c, Field field) {
  bool from_disk = false;
  const py::object& source = cache_source(c, &from_disk);
  if (source.is_none()) return py::none();
  return get(source, field_name(field));
}

void cache_set(ComponentNative& c, Field field, py::handle value) {
  if (c.memory.is_none()) c.memory = refs().in_memory_cache();
  set(c.memory, field_name(field), value);
  c.touch();
}

py::object outputs_summary(const ComponentNative& c) {
  bool from_disk = false;
  const py::object& source = cache_source(c, &from_disk);
  if (!from_disk && source.is_none()) return refs().outputs_summary_model();
  return get(source, "outputs_summary");
}

void register_state(const py::object& cls) {
  pyclass::def(cls, "__init__", &init, py::arg("component"));
  pyclass::def(cls, "__del__", [](py::object self) {
    if (interpreter_finalizing()) return;
    ComponentNative* c = nullptr;
    try {
      c = &native(self);
    } catch (py::cast_error&) {
      return;  // construction never completed
    }
    if (c->diskcache_handle.is_none()) return;
    clear_diskcache(*c);
  });

  pyclass::def_property_readonly(cls, "id", with_native([](ComponentNative& c) { return c.id; }));
  pyclass::def_property(cls, "name", with_native([](ComponentNative& c) { return c.name; }),
                        [](py::object self, py::object v) {
                          set_text(native(self), &ComponentNative::name, v, "new_name");
                        });
  pyclass::def_property(cls, "cell_code",
                        with_native([](ComponentNative& c) { return c.cell_code; }),
                        [](py::object self, py::object value) {
                          ComponentNative& c = native(self);
                          if (set_text(c, &ComponentNative::cell_code, value, "new_cell_code")) {
                            set_status(c, Status::Invalid);
                          }
                        });
  pyclass::def_property_readonly(cls, "last_expr", with_native(&last_expr));
  pyclass::def_property(
      cls, "metadata", with_native([](ComponentNative& c) { return c.metadata; }),
      [](py::object self, py::object value) { set_metadata(native(self), value); });
  pyclass::def_property(
      cls, "status", with_native([](ComponentNative& c) { return to_py(c.status()); }),
      [](py::object self, py::object value) { set_status(native(self), status_from_py(value)); });
  pyclass::def_property_readonly(cls, "success_count",
                                 with_native([](ComponentNative& c) { return c.success_count(); }));
  pyclass::def_property_readonly(cls, "component_type", with_native([](ComponentNative& c) {
                                   return get(c.metadata, "componentType");
                                 }));
  pyclass::def_property(
      cls, "in_and_out", with_native([](ComponentNative& c) { return c.in_and_out; }),
      [](py::object self, py::object value) { set_in_and_out(native(self), value); });
  pyclass::def_property(
      cls, "use_diskcache",
      with_native([](ComponentNative& c) { return get(c.metadata, "diskcache"); }),
      [](py::object self, py::object value) { set_use_diskcache(native(self), value); });
  pyclass::def_property(
      cls, "remote_config",
      with_native([](ComponentNative& c) { return get(c.metadata, "remoteExecution"); }),
      [](py::object self, py::object value) { set_remote_config(native(self), value); });
  pyclass::def_property(cls, "diskcache_dir", with_native(&diskcache_dir),
                        [](py::object self, py::object new_diskcache_dir) {
                          require_text_or_none(new_diskcache_dir, "new_diskcache_dir");
                          load_diskcache(native(self), new_diskcache_dir);
                        });
  pyclass::def_property(cls, "diskcache_status",
                        with_native([](ComponentNative& c) { return to_py(c.disk_status()); }),
                        [](py::object self, py::object value) {
                          set_diskcache_status(native(self), disk_status_from_py(value));
                        });

  for (Field field : {Field::ModuleStatements, Field::NonModuleOutputs, Field::LastOutput,
                      Field::Captured, Field::ExceptionMsg}) {
    pyclass::def_property(
        cls, field_name(field), [field](py::object self) { return cache_get(native(self), field); },
        [field](py::object self, py::object value) { cache_set(native(self), field, value); });
  }
  pyclass::def_property(cls, "outputs_summary",
                        with_native([](ComponentNative& c) { return outputs_summary(c); }),
                        [](py::object self, py::object value) {
                          cache_set(native(self), Field::OutputsSummary, value);
                        });
  pyclass::def_property_readonly(cls, "exception",
                                 with_native([](ComponentNative& c) -> py::object {
                                   py::object lines = cache_get(c, Field::ExceptionMsg);
                                   if (lines.is_none() || !truthy(lines)) return py::none();
                                   return refs().pipeline_error("picked_stb"_a = lines);
                                 }));
  pyclass::def_property_readonly(cls, "outputs", [](py::object self) { return outputs(self); });
  pyclass::def_property_readonly(cls, "info",
                                 with_native([](ComponentNative& c) { return info(c); }));
  pyclass::def(cls, "_info_dict", with_native(&info_dict));
}

}  // namespace orvane::vostrel
