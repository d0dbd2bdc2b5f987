// Pipeline members: cache_commands (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_cache_commands(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
