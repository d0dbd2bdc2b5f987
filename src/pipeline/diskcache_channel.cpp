// Pipeline members: diskcache_channel (to be filled).
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

void register_diskcache_channel(py::module_& /*m*/, const py::object& /*cls*/) {}

}  // namespace orvane::pipeline
