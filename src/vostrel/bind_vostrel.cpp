// Module definition of the code-cell component: the native base holding the state, and
// OrvaneComponentVostrel built on it and LoggingMixin.
#include "common/fork_guard.hpp"
#include "common/pyclass.hpp"
#include "core/banner.hpp"
#include "vostrel/component.hpp"

namespace py = pybind11;

namespace orvane::vostrel {
namespace {

// The native state holds Python values, so it takes part in garbage collection: a value that
// refers back to its component (through a pipeline, say) must not keep both alive forever.
int traverse_component(ComponentNative& c, visitproc visit, void* arg) {
  for (const py::object* member :
       {&c.id, &c.name, &c.cell_code, &c.metadata, &c.in_and_out, &c.memory, &c.diskcache_handle,
        &c.summary_sink, &c.info_cache}) {
    Py_VISIT(member->ptr());
  }
  return 0;
}

void clear_component(ComponentNative& c) {
  for (py::object* member :
       {&c.in_and_out, &c.memory, &c.diskcache_handle, &c.summary_sink, &c.info_cache}) {
    *member = py::none();
  }
  c.disk.apply(DiskInput{DiskEvent::Released});
}

// A private attribute that names native state: reading it gives the value, assigning it sets
// it directly, with none of the public setter's rules (as an instance attribute would).
template <typename Getter, typename Setter>
void private_attribute(const py::object& cls, const char* name, Getter getter, Setter setter) {
  pyclass::def_property(cls, name, getter, setter);
}

py::object ComponentNative::* const kValueMembers[] = {
    &ComponentNative::id,       &ComponentNative::name,       &ComponentNative::cell_code,
    &ComponentNative::metadata, &ComponentNative::in_and_out, &ComponentNative::memory};
const char* const kValueNames[] = {"_id",       "_name",       "_cell_code",
                                   "_metadata", "_in_and_out", "_in_memory_cache"};

void register_private_state(const py::object& cls) {
  for (int i = 0; i < 6; ++i) {
    auto member = kValueMembers[i];
    private_attribute(
        cls, kValueNames[i], [member](ComponentNative& c) { return c.*member; },
        [member](ComponentNative& c, py::object value) { c.*member = std::move(value); });
  }
  private_attribute(
      cls, "_status", [](ComponentNative& c) { return to_py(c.status()); },
      [](ComponentNative& c, py::object value) {
        c.run.commit(component::assign_status(c.run.state(), status_from_py(value)));
      });
  private_attribute(
      cls, "_success_count", [](ComponentNative& c) { return py::int_(c.success_count()); },
      [](ComponentNative& c, py::object value) {
        c.run.commit(component::assign_success_count(c.run.state(), value.cast<std::int64_t>()));
      });
  private_attribute(
      cls, "_diskcache", [](ComponentNative& c) { return c.diskcache_handle; },
      [](ComponentNative& c, py::object value) {
        const bool attach = !value.is_none();
        c.diskcache_handle = std::move(value);
        c.disk.apply(DiskInput{attach ? DiskEvent::HandleSet : DiskEvent::Released});
      });
  private_attribute(
      cls, "_diskcache_status", [](ComponentNative& c) { return to_py(c.stored_disk_status()); },
      [](ComponentNative& c, py::object value) {
        DiskInput in{DiskEvent::Assign};
        in.status = disk_status_from_py(value);
        c.disk.apply(in);
      });
  // Set by the pipeline that owns the component; None until then.
  private_attribute(
      cls, "_summary_sink", [](ComponentNative& c) { return c.summary_sink; },
      [](ComponentNative& c, py::object value) { c.summary_sink = std::move(value); });

  pyclass::def(
      cls, "_diskcache_write_pending", [](ComponentNative& c) { return c.write_pending(); },
      "True while a write of the current results is queued and not finished.");
  pyclass::def(
      cls, "_in_memory_cache_empty", [](ComponentNative& c) { return c.memory_cache_empty(); },
      "True when the in-memory cache holds no results.");
}

}  // namespace
}  // namespace orvane::vostrel

PYBIND11_MODULE(vostrel, m) {
  orvane::fork_guard::loaded_pid();
  using orvane::vostrel::ComponentNative;
  m.doc() = "The code-cell component of a pipeline.";
  // Docstrings are the plain texts, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  // Module statements are expressions such as importlib.import_module('numpy'), evaluated with
  // this module's globals.
  m.attr("importlib") = py::module_::import("importlib");
  m.attr("EXC_LINE_LENGTH") = orvane::kExcLineLength;
  m.attr("EXC_TRACEBACK") = orvane::kExcTraceback;

  py::class_<ComponentNative> native(
      m, "_OrvaneComponentNative",
      py::custom_type_setup(&orvane::pyclass::gc_type_setup<orvane::vostrel::ComponentNative,
                                                            orvane::vostrel::traverse_component,
                                                            orvane::vostrel::clear_component>),
      "Native state of a code-cell component.");
  native.def(py::init<>());

  orvane::vostrel::init_refs(m, native);
  py::object logging_mixin = orvane::py_values::lookup("orvane_core.common.mixins:LoggingMixin");
  py::object cls = orvane::pyclass::make_class(
      m, "OrvaneComponentVostrel", py::make_tuple(native, logging_mixin),
      "Data structure to represent a code cell in a pipeline (or a graph node.)");
  orvane::vostrel::register_private_state(cls);
  orvane::vostrel::register_state(cls);
  orvane::vostrel::register_caches(cls);
  orvane::vostrel::register_execution(cls);
}
