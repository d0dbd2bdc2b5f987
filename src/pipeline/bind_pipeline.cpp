// Module definition of the pipeline engine: builds OrvanePipeline on top of OrvaneDagBase.
#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace py = pybind11;

PYBIND11_MODULE(pipeline, m) {
  m.doc() = "The pipeline engine.";
  py::object base = py::module_::import("orvane_core.pipeline._dag").attr("OrvaneDagBase");
  py::object cls =
      orvane::pyclass::make_class(m, "OrvanePipeline", py::make_tuple(base), "Pipeline.");
  orvane::pipeline::register_lifecycle(m, cls);
  orvane::pipeline::register_execution(m, cls);
  orvane::pipeline::register_diskcache_channel(m, cls);
  orvane::pipeline::register_cache_commands(m, cls);
  orvane::pipeline::register_parameters(m, cls);
  orvane::pipeline::register_component_info(m, cls);
}
