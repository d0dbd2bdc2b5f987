// When a run's remembered fingerprint walk is still valid.
#include "core/run_fingerprints.hpp"

#include <utility>

namespace orvane::model {

FingerprintWalk& RunFingerprints::walk_for(const void* graph, std::int64_t graph_version,
                                           std::string parameters,
                                           const std::function<FingerprintWalk()>& make) {
  if (!walk || graph_ != graph || graph_version_ != graph_version || parameters_ != parameters) {
    walk.emplace(make());
    graph_ = graph;
    graph_version_ = graph_version;
    parameters_ = std::move(parameters);
  }
  return *walk;
}

}  // namespace orvane::model
