// Bookkeeping of one parallel run: which planned nodes wait, run or are done, and what may start.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/graph.hpp"

namespace orvane::run {

enum class Phase : unsigned char {
  Unplanned,  // not part of this run
  Waiting,    // planned, not started
  Running,    // started, not yet followed up
  Finished,   // followed up; its children may start
  Dropped,    // abandoned when the run stopped
};

// How many components a worker holds queued after the one it runs: one keeps it from waiting
// for the kernel between two of a chain; more lets more run unseen when the run stops.
constexpr std::size_t kCarriedAhead = 2;

// One run over a plan (node indices of `dag`, parents before children). A node may start once
// every parent has finished; nodes start in plan order among those that may. The scheduler owns
// no threads: the caller reports starts and finishes and asks what may start next.
class RunScheduler {
 public:
  // Throws std::invalid_argument when the plan repeats a node or names one outside the graph.
  RunScheduler(const graph::Dag& dag, std::vector<std::size_t> plan);

  // The first waiting node, in plan order, whose parents have all finished; none otherwise.
  std::optional<std::size_t> next_startable() const;
  // Waiting -> Running. Throws std::logic_error for a node that is not waiting or not ready.
  void start(std::size_t node);
  // Running -> Finished: its children's wait shrinks. Throws std::logic_error unless running.
  void finish(std::size_t node);
  // Ends the run early: every waiting or running node is dropped. Returns the nodes that were
  // running, in the order they started.
  std::vector<std::size_t> stop();

  bool done() const { return waiting_ == 0 && running_.empty(); }
  Phase phase(std::size_t node) const;
  // Running nodes in the order they started.
  const std::vector<std::size_t>& running() const { return running_; }
  std::size_t waiting_count() const { return waiting_; }
  // How many waiting nodes may start now.
  std::size_t ready_count() const { return ready_.size(); }
  const std::vector<std::size_t>& plan() const { return plan_; }
  // Position of a planned node in the plan; its slot in per-run tables.
  std::size_t position(std::size_t node) const;
  // What a worker running `node` may run after it, in order, at most `depth` of them: each the
  // first waiting child in plan order of the one before, with no other parent (its inputs are
  // then exactly that one's outputs). Empty when `node` is neither running nor waiting.
  std::vector<std::size_t> carried_chain(std::size_t node, std::size_t depth) const;

 private:
  const graph::Dag& dag_;
  std::vector<std::size_t> plan_;
  std::vector<Phase> phase_;           // by node index
  std::vector<std::size_t> blockers_;  // by node index: parents in the plan not yet finished
  std::vector<std::size_t> position_;  // by node index: place in the plan
  std::set<std::size_t> ready_;        // plan positions of waiting nodes with no blockers
  std::vector<std::size_t> running_;
  std::size_t waiting_ = 0;
};

// The order in which a run applies its tasks' completions, by plan position (slot): each
// task's first completion only, in the order they came, and none before its component handed
// the task over (a task carried to a worker ahead of its component's start may complete first).
// A completion is kept with what the task answered (`Value`) until it is due.
template <typename Value>
class Completions {
 public:
  using Due = std::vector<std::pair<std::size_t, Value>>;  // (slot, answer) pairs

  explicit Completions(std::size_t slots) : handed_(slots, false), came_(slots, false) {}
  // The component of `slot` handed its task over. Throws std::invalid_argument the second time.
  void hand_over(std::size_t slot) {
    if (handed_.at(slot)) throw std::invalid_argument("a component hands one task to a run");
    handed_[slot] = true;
  }
  // A completion of `slot` came with `value`: true when it is the task's first, the one kept.
  bool came(std::size_t slot, Value value) {
    if (came_.at(slot)) return false;
    came_[slot] = true;
    held_.emplace_back(slot, std::move(value));
    return true;
  }
  // The kept completions that may be applied now, in the order they came; each once.
  Due due() {
    const auto kept = std::stable_partition(
        held_.begin(), held_.end(), [this](const auto& held) { return !handed_[held.first]; });
    Due due(std::make_move_iterator(kept), std::make_move_iterator(held_.end()));
    held_.erase(kept, held_.end());
    return due;
  }

 private:
  std::vector<bool> handed_, came_;
  Due held_;  // kept completions not yet due, in the order they came
};

// What stopping a run on an error does with the nodes that were running (in the order they
// started). An interrupt fails each of them, or, when none was running, cancels every pending
// write instead: the run is abandoned. Another error leaves them INVALID and fails the node it
// came from (`blamed`), if any.
struct StopActions {
  std::vector<std::size_t> invalidate, fail;
  bool cancel_writes = false;
};
StopActions on_stop(bool interrupted, std::vector<std::size_t> running,
                    std::optional<std::size_t> blamed);

}  // namespace orvane::run
