// Pipeline members: component_info (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_component_info(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
