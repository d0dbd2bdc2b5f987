// What the pipeline does with caches it cannot serve or write: a cache miss, never an error.
//
// A cached value that cannot be read back (a damaged or vanished folder, a value that no longer
// unpickles) makes its component run again; an output that cannot be pickled fails only that
// component's disk cache. Each is reported to the front end as a failed disk cache with the
// reason. The fingerprints that tell a current cache from a stale one are computed here too.
// Implemented beside the writer's channel (diskcache_channel.cpp), which has the results pickled.
#pragma once

#include <optional>
#include <string>

#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::guard {

// Reports a failed disk cache of one component to the front end and marks it FAILED.
void report_failure(const py::object& self, const py::handle& component_id,
                    const py::handle& reason);

// Reads every value of the component's attached disk cache. When one cannot be read, the
// failure is reported, the damaged cache is unloaded (its folder removed) and false returned:
// the component must run again. True when there is nothing to read or everything read.
bool serve_or_miss(const py::object& self, const py::object& component_id,
                   const py::object& component);

// The fingerprint of what the component's result is computed from: its code, the pipeline
// parameters and, recursively, its parents' fingerprints.
std::string fingerprint(PipelineState& st, const py::handle& component_id);

// Why the cache in `path` must not be adopted: it records a fingerprint that differs from the
// component's (it was computed from other code, parameters or parents). None when it matches.
// `recorded` receives the fingerprint the cache records (empty: none, or unreadable).
std::optional<model::Reason> stale_reason(PipelineState& st, const py::handle& component_id,
                                          const std::string& path, std::string& recorded);

}  // namespace orvane::pipeline::guard
