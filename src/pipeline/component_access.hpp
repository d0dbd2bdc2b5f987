// The questions the engine asks a component and the changes it makes to one, in one place.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::comp {

using orvane::pyclass::intern;

inline py::object status(const py::handle& c) { return c.attr(intern("status")); }
inline bool status_is(const py::handle& c, const py::handle& s) { return same(status(c), s); }
inline void set_status(const py::handle& c, const py::handle& s) { c.attr(intern("status")) = s; }
inline bool successful(const py::handle& c) { return status_is(c, rt().status_successful); }

inline bool uses_diskcache(const py::handle& c) { return truthy(c.attr(intern("use_diskcache"))); }
inline void set_uses_diskcache(const py::handle& c, bool on) {
  c.attr(intern("use_diskcache")) = py::bool_(on);
}
inline py::object disk_status(const py::handle& c) { return c.attr(intern("diskcache_status")); }
inline bool disk_status_is(const py::handle& c, const py::handle& s) {
  return same(disk_status(c), s);
}
inline void set_disk_status(const py::handle& c, const py::handle& s) {
  c.attr(intern("diskcache_status")) = s;
}

// True when a write of the component is pending. The public status reports CACHED whenever a
// cache is attached, which hides a rewrite queued for a reused component; such a rewrite must be
// cancelled like any other when the component is invalidated.
inline bool write_pending(const py::handle& c) {
  py::object stored = py::getattr(c, intern("_diskcache_status"), py::none());
  if (stored.is_none()) stored = disk_status(c);
  return same(stored, rt().disk_updating);
}

// True when the component's in-memory cache is known to hold nothing.
inline bool memory_cache_empty(const py::handle& c) {
  py::object cache = py::getattr(c, intern("_in_memory_cache"), py::none());
  if (cache.is_none() || !py::hasattr(cache, "is_empty")) return false;
  return truthy(cache.attr("is_empty")());
}

// The disk cache attached to the component, or None.
inline py::object attached_diskcache(const py::handle& c) {
  return py::getattr(c, intern("_diskcache"), py::none());
}
// Lets go of the attached disk cache without deleting its files.
inline void detach_diskcache(const py::handle& c) {
  py::object cache = attached_diskcache(c);
  if (cache.is_none()) return;
  if (py::hasattr(cache, "close")) cache.attr("close")();
  py::setattr(c, intern("_diskcache"), py::none());
}

inline py::object success_count(const py::handle& c) { return c.attr(intern("success_count")); }

}  // namespace orvane::pipeline::comp
