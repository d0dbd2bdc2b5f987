// The questions the engine asks a component and the changes it makes to one, in one place.
//
// Statuses, counts and the disk-cache bookkeeping are read and changed on the component's native
// state; what has effects beyond that state (the run-status setter, which drops results, running,
// showing results) is called directly: the component's operations are linked into this module.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"
#include "core/pipeline_model.hpp"
#include "pipeline/pipeline.hpp"
#include "vostrel/component_native.hpp"

namespace orvane::pipeline::comp {

using orvane::pyclass::intern;
using vostrel::ComponentNative;
using vostrel::DiskStatus;
using vostrel::DoneVerdict;
using vostrel::Status;

inline ComponentNative& native(const py::handle& c) { return py::cast<ComponentNative&>(c); }

inline bool successful(const py::handle& c) { return native(c).status() == Status::Successful; }
inline bool failed(const py::handle& c) { return native(c).status() == Status::Failed; }
// The status setter: a new status may drop the component's results.
inline void set_status(const py::handle& c, Status s) { vostrel::set_status(native(c), s); }

inline bool uses_diskcache(const py::handle& c) { return native(c).diskcache_enabled(); }
// Through the property: switching disk caching off detaches the cache.
inline void set_uses_diskcache(const py::handle& c, bool on) {
  c.attr(intern("use_diskcache")) = py::bool_(on);
}
inline void mark_disk_failed(const py::handle& c) {
  native(c).mark_disk_status(DiskStatus::Failed);
}
inline void mark_disk_cached(const py::handle& c) {
  native(c).mark_disk_status(DiskStatus::Cached);
}

// What the engine's rules (core/pipeline_model.hpp) need to know of the component.
inline model::NodeFacts facts(const py::handle& c) {
  const ComponentNative& n = native(c);
  return {n.status(),      n.success_count(), n.diskcache_enabled(),
          n.disk_status(), n.write_pending(), n.memory_cache_empty()};
}

// The component's code, as its native state holds it.
inline const py::object& cell_code(const py::handle& c) { return native(c).cell_code; }

// The disk cache attached to the component, or None.
inline py::object attached_diskcache(const py::handle& c) { return native(c).diskcache(); }
// Lets go of the attached disk cache without deleting its files.
inline void detach_diskcache(const py::handle& c) { native(c).release_diskcache(); }
// The folder of the attached disk cache, or None.
inline py::object diskcache_dir(const py::handle& c) { return native(c).diskcache_dir(); }

}  // namespace orvane::pipeline::comp
