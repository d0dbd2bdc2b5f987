// Pipeline members: parameters (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_parameters(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
