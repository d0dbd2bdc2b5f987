// Module definition of the code-cell component: the native base holding the state, and
// OrvaneComponentVostrel built on it and LoggingMixin.
#include "common/fork_guard.hpp"
#include "core/banner.hpp"
#include "vostrel/component.hpp"

namespace py = pybind11;

namespace orvane::vostrel {
namespace {

// The Python values the native state holds, with the private attribute naming each. Reading the
// attribute gives the value; assigning it sets it directly, with none of the public setter's
// rules (as an instance attribute would).
constexpr std::pair<py::object C::*, const char*> kHeld[] = {
    {&C::id, "_id"},
    {&C::name, "_name"},
    {&C::cell_code, "_cell_code"},
    {&C::metadata, "_metadata"},
    {&C::in_and_out, "_in_and_out"},
    {&C::memory, "_in_memory_cache"},
    {&C::summary_sink, "_summary_sink"},  // set by the pipeline that owns the component
    {&C::diskcache_handle, nullptr},
    {&C::info_cache, nullptr}};

// The native state holds Python values, so it takes part in garbage collection: a value that
// refers back to its component (through a pipeline, say) must not keep both alive forever.
int traverse_component(C& c, visitproc visit, void* arg) {
  for (const auto& [member, name] : kHeld) Py_VISIT((c.*member).ptr());
  return 0;
}

// Drops what can refer back; the identity and the metadata stay for a late finaliser.
void clear_component(C& c) {
  for (auto member :
       {&C::in_and_out, &C::memory, &C::diskcache_handle, &C::summary_sink, &C::info_cache}) {
    c.*member = py::none();
  }
  c.disk.apply(DiskInput{DiskEvent::Released});
}

}  // namespace
}  // namespace orvane::vostrel

PYBIND11_MODULE(vostrel, m) {
  using namespace orvane::vostrel;
  orvane::fork_guard::loaded_pid();
  m.doc() = "The code-cell component of a pipeline.";
  // Docstrings are the plain texts, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  // Module statements are expressions such as importlib.import_module('numpy'), evaluated with
  // this module's globals.
  m.attr("importlib") = py::module_::import("importlib");
  m.attr("EXC_LINE_LENGTH") = orvane::kExcLineLength;
  m.attr("EXC_TRACEBACK") = orvane::kExcTraceback;

  py::class_<C> native(
      m, "_OrvaneComponentNative",
      py::custom_type_setup(&pc::gc_type_setup<C, traverse_component, clear_component>),
      "Native state of a code-cell component.");
  for (const auto& [member, name] : kHeld) {
    if (name != nullptr) native.def_readwrite(name, member);
  }
  // The count and the disk cache change only through the component's own steps.
  native.def(py::init<>())
      .def_property_readonly("_success_count", &C::success_count)
      .def_property_readonly("_diskcache", &C::diskcache)
      .def("_diskcache_write_pending", &C::write_pending,
           "True while a write of the current results is queued and not finished.")
      .def("_in_memory_cache_empty", &C::memory_cache_empty,
           "True when the in-memory cache holds no results.");

  py::object cls =
      pc::make_class(m, "OrvaneComponentVostrel",
                     py::make_tuple(native, kept("orvane_core.common.mixins:LoggingMixin")),
                     "Data structure to represent a code cell in a pipeline (or a graph node.)");
  for (auto add : {register_state, register_caches, register_execution}) {
    add(cls);
  }
}
