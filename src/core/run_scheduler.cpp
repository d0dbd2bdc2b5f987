// Bookkeeping of one parallel run: which planned nodes wait, run or are done, and what may start.
#include "core/run_scheduler.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvane::run {

RunScheduler::RunScheduler(const graph::Dag& dag, std::vector<std::size_t> plan)
    : dag_(dag),
      plan_(std::move(plan)),
      phase_(dag.size(), Phase::Unplanned),
      blockers_(dag.size(), 0),
      position_(dag.size(), 0) {
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    const std::size_t node = plan_[i];
    if (node >= dag_.size()) throw std::invalid_argument("planned node outside the graph");
    if (phase_[node] != Phase::Unplanned) {
      throw std::invalid_argument("node '" + dag_.name(node) + "' is planned twice");
    }
    phase_[node] = Phase::Waiting;
    position_[node] = i;
  }
  waiting_ = plan_.size();
  // Parents outside the plan are not waited for: the plan holds every ancestor it depends on.
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    const std::size_t node = plan_[i];
    for (std::size_t parent : dag_.predecessors(node)) {
      if (phase_[parent] == Phase::Waiting) ++blockers_[node];
    }
    if (blockers_[node] == 0) ready_.insert(i);
  }
}

std::optional<std::size_t> RunScheduler::next_startable() const {
  if (ready_.empty()) return std::nullopt;
  return plan_[*ready_.begin()];
}

void RunScheduler::start(std::size_t node) {
  if (phase(node) != Phase::Waiting || blockers_[node] != 0) {
    throw std::logic_error("node '" + dag_.name(node) + "' cannot start now");
  }
  ready_.erase(position_[node]);
  phase_[node] = Phase::Running;
  running_.push_back(node);
  --waiting_;
}

void RunScheduler::finish(std::size_t node) {
  if (phase(node) != Phase::Running) {
    throw std::logic_error("node '" + dag_.name(node) + "' is not running");
  }
  phase_[node] = Phase::Finished;
  running_.erase(std::find(running_.begin(), running_.end(), node));
  for (std::size_t child : dag_.successors(node)) {
    if (phase_[child] != Phase::Waiting) continue;
    if (--blockers_[child] == 0) ready_.insert(position_[child]);
  }
}

std::vector<std::size_t> RunScheduler::stop() {
  std::vector<std::size_t> was_running = running_;
  for (std::size_t node : plan_) {
    if (phase_[node] == Phase::Waiting || phase_[node] == Phase::Running) {
      phase_[node] = Phase::Dropped;
    }
  }
  running_.clear();
  ready_.clear();
  waiting_ = 0;
  return was_running;
}

Phase RunScheduler::phase(std::size_t node) const {
  if (node >= phase_.size()) throw std::out_of_range("node outside the graph");
  return phase_[node];
}

std::size_t RunScheduler::position(std::size_t node) const {
  if (phase(node) == Phase::Unplanned) {
    throw std::out_of_range("node '" + dag_.name(node) + "' is not planned");
  }
  return position_[node];
}

std::vector<std::size_t> RunScheduler::carried_chain(std::size_t node, std::size_t depth) const {
  std::vector<std::size_t> chain;
  if (phase(node) != Phase::Running && phase(node) != Phase::Waiting) return chain;
  while (chain.size() < depth) {
    std::optional<std::size_t> best;
    for (std::size_t child : dag_.successors(node)) {
      if (phase_[child] != Phase::Waiting || dag_.predecessors(child).size() != 1) continue;
      if (!best || position_[child] < position_[*best]) best = child;
    }
    if (!best) break;
    chain.push_back(node = *best);
  }
  return chain;
}

StopActions on_stop(bool interrupted, std::vector<std::size_t> running,
                    std::optional<std::size_t> blamed) {
  if (interrupted) return {{}, running, running.empty()};
  return {std::move(running),
          blamed ? std::vector<std::size_t>{*blamed} : std::vector<std::size_t>{}, false};
}

}  // namespace orvane::run
