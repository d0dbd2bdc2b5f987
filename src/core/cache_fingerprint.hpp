// What a cached result was computed from, as a short text that changes when any of it changes.
#pragma once

#include <string>
#include <vector>

namespace orvane {

// 16 hex digits over the component's code, the pipeline parameters (as text) and the
// fingerprints of its parents (in a stable order). Not a security measure: the cache directory
// is trusted already; this only tells a stale cache from a current one.
std::string cache_fingerprint(const std::string& code, const std::string& parameters,
                              const std::vector<std::string>& parent_fingerprints);

}  // namespace orvane
