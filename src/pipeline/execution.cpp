// Pipeline members: execution (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_execution(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
