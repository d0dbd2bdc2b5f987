// Component identity, properties with their setter rules, the status changes and info.
#include <optional>
#include <type_traits>
#include <vector>

#include "core/import_line.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;

namespace {

// The enumerations' members, indexed by the native status; made on first use (the GIL guards
// them; the last one made tells they are all there) and kept for the life of the process.
py::handle g_status[4], g_disk[4];

template <typename E>
const py::handle (&members())[4] {
  if (!g_disk[3]) {
    py::handle statuses = kept("orvane_core.misc:OrvaneComponentStatus");
    py::handle disk_statuses = kept("orvane_core.misc:OrvaneDiskcacheStatus");
    for (int i = 0; i < 4; ++i) {
      g_status[i] = keep(statuses(component::to_string(component::kStatuses[i])));
      g_disk[i] = keep(disk_statuses(component::to_string(component::kDiskStatuses[i])));
    }
  }
  return std::is_same_v<E, DiskStatus> ? g_disk : g_status;
}

template <typename E>
py::object to_py(E s) {
  return py::reinterpret_borrow<py::object>(members<E>()[int(s)]);
}

// The member of the enumeration that `value` is. Members of an enumeration are singletons (a
// copy is the member itself), so identity decides; anything else raises AssertionError with the
// setter's text.
template <typename E>
E from_py(py::handle value) {
  for (int i = 0; i < 4; ++i) {
    if (members<E>()[i].is(value)) return static_cast<E>(i);
  }
  const char* what = std::is_same_v<E, DiskStatus> ? "diskcache" : "component";
  raise(PyExc_AssertionError,
        utf8(py::str("{}").format(value)) + " is not a valid " + what + " status.");
}

}  // namespace

std::pair<py::object, py::object> unpack2(py::handle iterable) {
  const py::tuple values(py::reinterpret_borrow<py::object>(iterable));
  if (values.size() > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (values.size() < 2) {
    raise(PyExc_ValueError,
          "not enough values to unpack (expected 2, got " + std::to_string(values.size()) + ")");
  }
  return {values[0], values[1]};
}

// ---- status and record changes ----

void set_in_and_out(ComponentNative& c, py::object new_info) {
  if (c.in_and_out.equal(new_info)) return;
  c.in_and_out = new_info.is_none() ? in_out_model()() : new_info;
  c.touch();
}

void add_imports(py::list& lines, const py::object& module_statements) {
  for (auto [symbol, statement] : py::dict(module_statements)) {
    lines.append(from_utf8(import_line(utf8(symbol), utf8(statement))));
  }
}

void set_status(ComponentNative& c, Status next) {
  const component::StatusChange change = c.run.plan(next);
  if (!change.changed) return;
  // Clearing the caches unloads the disk cache, which leaves it UNCACHED.
  if (change.clear_caches) clear_cache(c);
  if (change.reset_in_and_out) set_in_and_out(c, in_out_model()());
  // Committed last: a thread polling the status never sees it before the rest is in place.
  c.run.commit(change);
  c.touch();
}

namespace {

void set_diskcache_status(ComponentNative& c, DiskStatus next) {
  if (next == DiskStatus::Uncached) unload_diskcache(c);
  c.mark_disk_status(next);
}

// The cache that serves reads, or None. The in-memory cache holds nothing when it compares equal
// to a new empty one; a cache of the package's own class answers that itself.
const py::object& cache_source(const ComponentNative& c) {
  const bool from_disk = component::reads_from_disk(c.diskcache_enabled(), c.disk.attached(), [&c] {
    if (c.memory.is_none()) return false;
    if (py::type::of(c.memory).is(in_memory_cache())) return c.memory_cache_empty();
    return c.memory.equal(in_memory_cache()());
  });
  return from_disk ? c.diskcache_handle : c.memory;
}

void init(py::object self, py::object record) {
  py::type::of<ComponentNative>().attr("__init__")(self);
  kept("orvane_core.common.mixins:LoggingMixin.__init__")(self);
  // An assertion, so skipped when Python runs optimised.
  if (!truthy(kept("sys:flags").attr("optimize")) &&
      utf8(py::type::of(self).attr("__qualname__")).rfind("OrvaneComponent", 0) != 0) {
    raise(PyExc_AssertionError, "Class name must start with 'OrvaneComponent'.");
  }
  if (record.attr("metadata").is_none())
    record.attr("metadata") = kept("orvane_core.misc.models:OrvaneComponentMetadataModel")();
  ComponentNative& c = native(self);
  c.id = record.attr("id");
  c.name = record.attr("name");
  c.cell_code = record.attr("code");
  c.metadata = record.attr("metadata");
  c.in_and_out = in_out_model()();
  c.memory = in_memory_cache()();
}

// The summary's fields in the record's order.
py::dict info_fields(const ComponentNative& c) {
  return py::dict(
      "identifier"_a = c.id, "name"_a = c.name, "code"_a = c.cell_code, "metadata"_a = c.metadata,
      "execution_status"_a = to_py(c.status()), "diskcache_status"_a = to_py(c.disk_status()),
      "diskcache_dir"_a = c.diskcache_dir(), "inputs"_a = c.in_and_out.attr("inputs"),
      "outputs"_a = c.in_and_out.attr("outputs"), "imports"_a = c.in_and_out.attr("imports"),
      "summary"_a = outputs_summary(c), "last_execution"_a = py::str(""));
}

py::object info(const ComponentNative& c) {
  return kept("orvane_core.misc.models:OrvaneComponentInfoModel")(**info_fields(c));
}

// The summary as the record's dict() gives it, kept until the component changes. Converted by the
// records' own conversion without building the record, which costs more than the conversion.
py::object info_dict(ComponentNative& c) {
  if (!c.info_cache.is_none()) return c.info_cache;
  const std::uint64_t generation = c.info_generation;
  py::object built = kept("orvane_core.misc.models:_plain")(info_fields(c));
  // Kept only if nothing changed while it was being built.
  if (generation == c.info_generation) c.info_cache = built;
  return built;
}

py::object outputs(py::object self) {
  const ComponentNative& c = native(self);
  py::dict out;
  py::object values = cache_get(c, Field::NonModuleOutputs);
  if (!values.is_none()) out.attr("update")(values);
  py::object statements = cache_get(c, Field::ModuleStatements);
  if (statements.is_none()) return std::move(out);
  for (auto [symbol, statement] : py::dict(statements)) {
    py::dict locals("outputs"_a = out, "self"_a = self, "stmt"_a = statement, "sym"_a = symbol);
    out[symbol] =
        kept("builtins:eval")(statement, kept("orvane_core.components.vostrel:__dict__"), locals);
  }
  return std::move(out);
}

py::object last_expr(const ComponentNative& c) {
  // Looked up at each use, so the package's parser can be swapped.
  py::object parse =
      lookup("orvane_core.executors.component_executors.utils:parse_last_expr_from_code");
  auto [expr, rest] = unpack2(parse(kept("orvane_core.common:format_code")(c.cell_code)));
  if (!PyUnicode_Check(expr.ptr())) {
    raise(PyExc_TypeError,
          std::string("last expression must be str, not ") + Py_TYPE(expr.ptr())->tp_name);
  }
  return expr;
}

void set_metadata(ComponentNative& c, py::object value) {
  if (c.metadata.equal(value)) return;
  if (value.is_none()) value = kept("orvane_core.misc.models:OrvaneComponentMetadataModel")();
  // A remote configuration survives an update that does not carry one.
  if (value.attr("remoteExecution").is_none()) {
    py::object remote = c.remote_config();
    if (!remote.is_none()) value.attr("remoteExecution") = remote;
  }
  c.metadata = value;
  c.touch();
}

void set_use_diskcache(ComponentNative& c, py::handle value) {
  if (py::object(c.metadata.attr("diskcache")).equal(value)) return;
  const bool enabled = truthy(value);
  if (!enabled) set_diskcache_status(c, DiskStatus::Uncached);
  c.metadata.attr("diskcache") = py::bool_(enabled);
  c.touch();
}

void set_remote_config(ComponentNative& c, py::handle value) {
  if (c.remote_config().equal(value)) return;
  c.metadata.attr("remoteExecution") = truthy(value) ? value : py::none();
  c.touch();
}

// A text property (pybind11 rejects anything but text or None); an equal value does nothing.
bool set_text(ComponentNative& c, py::object ComponentNative::* member,
              const std::optional<py::str>& text) {
  py::object value = py::cast(text);
  if ((c.*member).equal(value)) return false;
  c.*member = value;
  c.touch();
  return true;
}

}  // namespace

void relink(ComponentNative& c, const std::vector<py::object>& parents) {
  py::dict inputs;  // each name once, in the order the parents offer them
  py::list imports;
  for (const py::object& parent : parents) {
    for (py::handle name : cache_get(native(parent), Field::NonModuleOutputs)) inputs[name] = true;
    add_imports(imports, cache_get(native(parent), Field::ModuleStatements));
  }
  set_in_and_out(c, in_out_model()("inputs"_a = py::list(inputs),
                                   "outputs"_a = py::list(cache_get(c, Field::NonModuleOutputs)),
                                   "imports"_a = imports, "summary"_a = outputs_summary(c)));
}

py::object cache_get(const ComponentNative& c, Field field) {
  const py::object& source = cache_source(c);
  return source.is_none() ? py::none() : py::object(source.attr(component::to_string(field)));
}

void cache_set(ComponentNative& c, Field field, py::handle value) {
  if (c.memory.is_none()) c.memory = in_memory_cache()();
  c.memory.attr(component::to_string(field)) = value;
  c.touch();
}

py::object outputs_summary(const ComponentNative& c) {
  // Without an in-memory cache nothing serves reads (the disk serves only while it is empty).
  if (c.memory.is_none())
    return kept("orvane_core.misc.models:OrvaneComponentOutputsSummaryModel")();
  return cache_source(c).attr("outputs_summary");
}

void register_state(const py::object& cls) {
  pc::def(cls, "__init__", &init, py::arg("component"));
  pc::def(cls, "__del__", [](py::object self) {
    // Nothing to do late in shutdown, nor for a component whose construction never completed.
    if (finalizing() || !py::detail::is_holder_constructed(self.ptr())) return;
    clear_diskcache(native(self));
  });

  pc::def_property_readonly(cls, "id", [](C& c) { return c.id; });
  pc::def_property(
      cls, "name", [](C& c) { return c.name; },
      [](C& c, std::optional<py::str> v) { set_text(c, &C::name, v); }, "", py::arg("new_name"));
  pc::def_property(
      cls, "cell_code", [](C& c) { return c.cell_code; },
      [](C& c, std::optional<py::str> v) {
        if (set_text(c, &C::cell_code, v)) set_status(c, Status::Invalid);
      },
      "", py::arg("new_cell_code"));
  pc::def_property_readonly(cls, "last_expr", &last_expr);
  pc::def_property(cls, "metadata", [](C& c) { return c.metadata; }, &set_metadata);
  pc::def_property(
      cls, "status", [](C& c) { return to_py(c.status()); },
      [](C& c, py::handle v) { set_status(c, from_py<Status>(v)); });
  // The private forms set the stored status directly, with none of the setter's rules.
  pc::def_property(
      cls, "_status", [](C& c) { return to_py(c.status()); },
      [](C& c, py::handle v) { c.assign_status(from_py<Status>(v)); });
  pc::def_property_readonly(cls, "success_count", &C::success_count);
  pc::def_property_readonly(cls, "component_type",
                            [](C& c) -> py::object { return c.metadata.attr("componentType"); });
  pc::def_property(cls, "in_and_out", [](C& c) { return c.in_and_out; }, &set_in_and_out);
  pc::def_property(
      cls, "use_diskcache", [](C& c) -> py::object { return c.metadata.attr("diskcache"); },
      &set_use_diskcache);
  pc::def_property(cls, "remote_config", &C::remote_config, &set_remote_config);
  pc::def_property(cls, "diskcache_dir", &C::diskcache_dir, &load_diskcache, "",
                   py::arg("new_diskcache_dir"));
  pc::def_property(
      cls, "diskcache_status", [](C& c) { return to_py(c.disk_status()); },
      [](C& c, py::handle v) { set_diskcache_status(c, from_py<DiskStatus>(v)); });
  pc::def_property(
      cls, "_diskcache_status", [](C& c) { return to_py(c.stored_disk_status()); },
      [](C& c, py::handle v) { c.disk.apply(DiskInput::assign(from_py<DiskStatus>(v))); });
  for (Field field : {Field::ModuleStatements, Field::NonModuleOutputs, Field::LastOutput,
                      Field::Captured, Field::ExceptionMsg}) {
    pc::def_property(
        cls, component::to_string(field), [field](C& c) { return cache_get(c, field); },
        [field](C& c, py::handle v) { cache_set(c, field, v); });
  }
  pc::def_property(cls, "outputs_summary", &outputs_summary,
                   [](C& c, py::handle v) { cache_set(c, Field::OutputsSummary, v); });
  pc::def_property_readonly(cls, "exception", [](C& c) -> py::object {
    py::object lines = cache_get(c, Field::ExceptionMsg);
    if (!truthy(lines)) return py::none();
    return kept("orvane_core.misc:OrvanePipelineError")("picked_stb"_a = lines);
  });
  pc::def_property_readonly(cls, "outputs", &outputs);
  pc::def_property_readonly(cls, "info", &info);
  pc::def(cls, "_info_dict", &info_dict);
}

}  // namespace orvane::vostrel
