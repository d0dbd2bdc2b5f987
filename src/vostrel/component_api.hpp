// The component's operations that other engine modules call natively. The component module
// publishes them as a capsule: they run with that module's own references, so a caller in
// another module reaches them through this table rather than through Python attributes.
#pragma once

#include <utility>
#include <vector>

#include "vostrel/component_native.hpp"

namespace orvane::vostrel {

// The six result fields, in the order loading a disk cache tests them.
enum class Field : int {
  ModuleStatements,
  NonModuleOutputs,
  LastOutput,
  Captured,
  ExceptionMsg,
  OutputsSummary
};

struct ComponentApi {
  // (component, module_statements, non_module_inputs, parameters, shell): runs the component in
  // the shell (None: outside one) and returns its last output.
  py::object (*execute)(ComponentNative&, py::object, py::object, py::object, py::object shell);
  // (component, process_pool, module_statements, non_module_inputs, parameters): hands the run
  // to the pool's apply_async, with the component's callbacks taking its outcome.
  py::object (*execute_async)(py::object self, py::object pool, py::object, py::object, py::object);
  // (component, module_statements, non_module_inputs, parameters): enters RUNNING and returns
  // what a worker runs, the executor's method and the pickled request; an unreachable remote
  // executor fails the component and raises.
  std::pair<py::object, py::object> (*pool_task)(ComponentNative&, py::object, py::object,
                                                 py::object);
  // Applies how a run ended: the executor's answer when `ok`, else the exception that ended it,
  // recorded as the component's failure.
  void (*complete)(ComponentNative&, bool ok, py::object value);
  // The status setter: a new status may drop the component's results.
  void (*set_status)(ComponentNative&, Status);
  // The field from the cache that serves reads, None without one.
  py::object (*cache_get)(const ComponentNative&, Field);
  // Rebuilds the in/out record of a component from its parents' outputs and imports (each
  // parent a component, in the order they offer them).
  void (*relink)(ComponentNative&, const std::vector<py::object>& parents);
  void (*show_captured)(const ComponentNative&, py::handle shell);
  void (*show_last_output)(const ComponentNative&, py::handle shell);
  // Loads the cache in the folder (false when it cannot be opened; raises when its first values
  // cannot be read); unloads, deletes or, with the in-memory cache, clears the caches.
  bool (*load_diskcache)(ComponentNative&, py::handle cache_dir);
  void (*unload_diskcache)(ComponentNative&);
  void (*clear_diskcache)(ComponentNative&);
  void (*clear_cache)(ComponentNative&);
};

inline constexpr const char* kApiCapsule = "orvane_core.components.vostrel._api";

// The component module's table, imported on first use.
inline const ComponentApi& api() {
  static const ComponentApi* table = nullptr;
  if (table == nullptr) table = static_cast<const ComponentApi*>(PyCapsule_Import(kApiCapsule, 0));
  if (table == nullptr) throw py::error_already_set();
  return *table;
}

}  // namespace orvane::vostrel
