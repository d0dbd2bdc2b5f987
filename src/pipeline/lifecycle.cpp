// Pipeline members: lifecycle (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_lifecycle(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
