// The fingerprints of one run, remembered while they stay valid: a chain's writes would
// otherwise walk every ancestor again, once per component.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/pipeline_model.hpp"

namespace orvane::model {

struct RunFingerprints {
  // Set between a run's start and its end; outside a run nothing is remembered.
  bool active = false;
  std::optional<FingerprintWalk> walk;

  // The walk for one graph (its identity and version) and parameter text: the remembered one
  // while all three are those it was made for, else a new one from `make`, remembered instead.
  FingerprintWalk& walk_for(const void* graph, std::int64_t graph_version, std::string parameters,
                            const std::function<FingerprintWalk()>& make);

 private:
  const void* graph_ = nullptr;
  std::int64_t graph_version_ = 0;
  std::string parameters_;
};

}  // namespace orvane::model
