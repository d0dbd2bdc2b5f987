// The pipeline engine's class, assembled from the parts defined in the files of this folder.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::pipeline {

namespace py = pybind11;

// Each adds its members to the OrvanePipeline class object `cls` (built with type()).
void register_lifecycle(py::module_& m, const py::object& cls);          // lifecycle.cpp
void register_execution(py::module_& m, const py::object& cls);          // execution.cpp
void register_diskcache_channel(py::module_& m, const py::object& cls);  // diskcache_channel.cpp
void register_cache_commands(py::module_& m, const py::object& cls);     // cache_commands.cpp
void register_parameters(py::module_& m, const py::object& cls);         // parameters.cpp
void register_component_info(py::module_& m, const py::object& cls);     // component_info.cpp

// Python objects the engine uses on every call, looked up once at module init. The references
// are deliberately leaked: they must outlive every pipeline, including those finalised while the
// interpreter shuts down.
struct Runtime {
  py::handle dag_base;             // OrvaneDagBase
  py::handle dag_info;             // OrvaneDagBase.info's getter
  py::handle component_status;     // OrvaneComponentStatus
  py::handle status_successful;    // OrvaneComponentStatus.SUCCESSFUL
  py::handle status_failed;        // OrvaneComponentStatus.FAILED
  py::handle status_running;       // OrvaneComponentStatus.RUNNING
  py::handle status_invalid;       // OrvaneComponentStatus.INVALID
  py::handle disk_uncached;        // OrvaneDiskcacheStatus.UNCACHED
  py::handle disk_updating;        // OrvaneDiskcacheStatus.UPDATING
  py::handle disk_cached;          // OrvaneDiskcacheStatus.CACHED
  py::handle disk_failed;          // OrvaneDiskcacheStatus.FAILED
  py::handle procedure_updated;    // OrvanePipelineCallbackProcedure.PIPELINE_UPDATED
  py::handle callback_successful;  // OrvanePipelineCallbackStatus.SUCCESSFUL
  py::handle callback_failed;      // OrvanePipelineCallbackStatus.FAILED
  py::handle callback_record;      // OrvanePipelineCallbackDataModel
  py::handle pipeline_info;        // OrvanePipelineInfoModel
  py::handle plain;                // how records turn values into plain data
  py::handle inout_record;         // OrvaneComponentInOutModel
  py::handle pickle_dumps;         // cloudpickle.dumps
  py::handle graph_error;          // networkx.NetworkXError
};

// Fills the runtime; called once from the module init before the parts register.
void init_runtime();
const Runtime& rt();

// The pipeline summary as the front end receives it: the plain mapping of `info`.
py::object summary_mapping(const py::object& self);

// Equality the way the component statuses are meant to be compared: identity first, then ==.
inline bool same(const py::handle& a, const py::handle& b) { return a.is(b) || a.equal(b); }

}  // namespace orvane::pipeline
