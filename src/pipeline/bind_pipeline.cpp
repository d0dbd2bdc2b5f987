// Module definition of the pipeline engine: builds OrvanePipeline on top of OrvaneDagBase.
#include "common/fork_guard.hpp"
#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace py = pybind11;

namespace orvane::pipeline {

namespace {
Runtime runtime;

py::handle keep(py::object value) { return value.release(); }
}  // namespace

const Runtime& rt() { return runtime; }

void init_runtime() {
  py::module_ misc = py::module_::import("orvane_core.misc");
  py::module_ models = py::module_::import("orvane_core.misc.models");
  py::object status = misc.attr("OrvaneComponentStatus");
  py::object disk = misc.attr("OrvaneDiskcacheStatus");
  py::object procedure = misc.attr("OrvanePipelineCallbackProcedure");
  py::object outcome = misc.attr("OrvanePipelineCallbackStatus");
  runtime.dag_base = keep(py::module_::import("orvane_core.pipeline._dag").attr("OrvaneDagBase"));
  runtime.dag_info =
      keep(py::reinterpret_borrow<py::object>(runtime.dag_base).attr("info").attr("fget"));
  runtime.component_status = keep(status);
  runtime.status_successful = keep(status.attr("SUCCESSFUL"));
  runtime.status_failed = keep(status.attr("FAILED"));
  runtime.status_running = keep(status.attr("RUNNING"));
  runtime.status_invalid = keep(status.attr("INVALID"));
  runtime.disk_uncached = keep(disk.attr("UNCACHED"));
  runtime.disk_updating = keep(disk.attr("UPDATING"));
  runtime.disk_cached = keep(disk.attr("CACHED"));
  runtime.disk_failed = keep(disk.attr("FAILED"));
  runtime.procedure_updated = keep(procedure.attr("PIPELINE_UPDATED"));
  runtime.callback_successful = keep(outcome.attr("SUCCESSFUL"));
  runtime.callback_failed = keep(outcome.attr("FAILED"));
  runtime.callback_record = keep(models.attr("OrvanePipelineCallbackDataModel"));
  runtime.pipeline_info = keep(models.attr("OrvanePipelineInfoModel"));
  runtime.plain = keep(models.attr("_plain"));
  runtime.inout_record = keep(models.attr("OrvaneComponentInOutModel"));
  runtime.pickle_dumps = keep(py::module_::import("cloudpickle").attr("dumps"));
  runtime.graph_error = keep(py::module_::import("networkx").attr("NetworkXError"));
}

}  // namespace orvane::pipeline

PYBIND11_MODULE(pipeline, m) {
  orvane::fork_guard::loaded_pid();
  m.doc() = "The pipeline engine.";
  // Docstrings are the product's own texts, without generated signature lines.
  py::options options;
  options.disable_function_signatures();
  orvane::pipeline::init_runtime();
  py::object cls = orvane::pyclass::make_class(
      m, "OrvanePipeline", py::make_tuple(orvane::pipeline::rt().dag_base), "Pipeline.");
  orvane::pipeline::register_lifecycle(m, cls);
  orvane::pipeline::register_execution(m, cls);
  orvane::pipeline::register_diskcache_channel(m, cls);
  orvane::pipeline::register_cache_commands(m, cls);
  orvane::pipeline::register_parameters(m, cls);
  orvane::pipeline::register_component_info(m, cls);
}
