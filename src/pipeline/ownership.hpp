// Which pipeline owns a cache directory: one owner at a time, in one process and across kernels.
//
// Across processes the owning kernel holds an advisory lock (core/dir_lock.hpp); a second kernel
// gets a private copy of the caches instead of the directory. Within one process the newest
// pipeline of an id takes the directory over; the older one lets go of its caches without
// deleting them. Only the owner deletes, and never in a process forked from the one that
// created it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "core/dir_lock.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::ownership {

// Validates the identifier (ValueError naming the rule) and claims the pipeline's directory
// under the application root, checking every level (RuntimeError for an unsafe one).
PipelineDirectory claim_directory(const PipelineState& st, const py::object& app_root);

// Makes `self` the owner of its id; the previous owner in this process lets go of its caches.
void become_owner(const py::object& self, const PipelineDirectory& claim);

// True when `self` owns its directory and this process created it.
bool is_owner(const PipelineState& st);

// After the owner's clean-up: no pipeline owns the id any more, the lock is released.
void give_up(const PipelineState& st);

// Closes the components' disk caches and detaches them, deleting nothing.
void let_go_of_caches(const PipelineState& st);

// The live owners of this process, for the clean-up at exit.
py::list live_owners();

}  // namespace orvane::pipeline::ownership
