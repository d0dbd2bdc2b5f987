// The pipeline engine's rules; see pipeline_model.hpp.
#include "core/pipeline_model.hpp"

#include <algorithm>
#include <limits>

#include "core/cache_fingerprint.hpp"

namespace orvane::model {

bool reuses(Cause cause) {
  return cause == Cause::CurrentInMemory || cause == Cause::CurrentOnDisk;
}

const char* cause_name(Cause cause) {
  switch (cause) {
    case Cause::CurrentInMemory:
      return "current_in_memory";
    case Cause::CurrentOnDisk:
      return "current_on_disk";
    case Cause::NeverRan:
      return "never_ran";
    case Cause::CodeChanged:
      return "code_changed";
    case Cause::ParentsChanged:
      return "parents_changed";
    case Cause::ParametersChanged:
      return "parameters_changed";
    case Cause::ParentReran:
      return "parent_reran";
    case Cause::CacheMissing:
      return "cache_missing";
    case Cause::CacheDamaged:
      return "cache_damaged";
    case Cause::NotKeptOnDisk:
      return "not_kept_on_disk";
    case Cause::Cleared:
      return "cleared";
    case Cause::FailedBefore:
      return "failed_before";
    case Cause::Requested:
      return "requested";
    case Cause::InputsChanged:
      return "inputs_changed";
  }
  return "requested";
}

namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

}  // namespace

std::string because(const Reason& reason) {
  switch (reason.cause) {
    case Cause::CurrentInMemory:
      return "its results in memory are current";
    case Cause::CurrentOnDisk:
      return "its disk cache is current";
    case Cause::NeverRan:
      return "it never ran";
    case Cause::CodeChanged:
      return "its code changed";
    case Cause::ParentsChanged:
      return "its parents changed";
    case Cause::ParametersChanged:
      return "parameters changed: " + joined(reason.parameters);
    case Cause::ParentReran:
      return "its parent " + reason.parent + " reran";
    case Cause::CacheMissing:
      return "it has no disk cache";
    case Cause::CacheDamaged:
      return "its disk cache failed or could not be read";
    case Cause::NotKeptOnDisk:
      return "its results are not kept on disk";
    case Cause::Cleared:
      return "its results were cleared";
    case Cause::FailedBefore:
      return "it failed before";
    case Cause::Requested:
      return "it was requested";
    case Cause::InputsChanged:
      return "its kept cache was computed from other code, parameters or parents";
  }
  return "it was requested";
}

Reason rerun_decision(const NodeFacts& facts, const std::optional<Reason>& pending) {
  if (facts.status != Status::Successful) {
    if (pending) return *pending;
    if (facts.status == Status::Failed) return {Cause::FailedBefore, {}, {}};
    if (facts.status == Status::Running) return {Cause::Requested, {}, {}};
    return {facts.success_count == 0 ? Cause::NeverRan : Cause::Cleared, {}, {}};
  }
  std::optional<Reason> lost;  // why its results cannot be reused, from its facts
  if (!facts.uses_disk) {
    lost = Reason{Cause::NotKeptOnDisk, {}, {}};
  } else if (facts.disk == DiskStatus::Uncached) {
    lost = Reason{Cause::CacheMissing, {}, {}};
  } else if (facts.disk == DiskStatus::Failed) {
    lost = Reason{Cause::CacheDamaged, {}, {}};
  }
  if (!lost) return {facts.memory_empty ? Cause::CurrentOnDisk : Cause::CurrentInMemory, {}, {}};
  // A successful component whose results were cleared keeps its status: the reason noted for
  // it says why they are gone better than the facts can.
  return pending ? *pending : *lost;
}

bool needs_rerun(const NodeFacts& facts, bool excluded) {
  if (excluded && facts.status == Status::Successful) return false;
  return !reuses(rerun_decision(facts).cause);
}

std::vector<Invalidation> invalidate_for_run(const graph::Dag& dag,
                                             const std::vector<std::size_t>& plan,
                                             const Facts& facts) {
  std::vector<Invalidation> out;
  std::vector<bool> invalid(dag.size(), false);  // invalid now, before or by this pass
  std::vector<bool> noted(dag.size(), false);    // already given an invalidation here
  std::vector<bool> cancelled(dag.size(), false);
  for (std::size_t c : plan) {
    if (invalid[c]) continue;
    const NodeFacts own = facts(c);
    if (own.status == Status::Invalid) {
      invalid[c] = true;
      continue;
    }
    const Reason decision = rerun_decision(own);
    if (reuses(decision.cause)) continue;
    std::vector<std::size_t> affected{c};
    for (std::size_t d : dag.descendants(c)) affected.push_back(d);
    std::vector<bool> in_reach(dag.size(), false);
    for (std::size_t d : affected) in_reach[d] = true;
    // The parent through which the rerun reaches a descendant: its first parent that reruns.
    auto through = [&](std::size_t d) {
      for (std::size_t parent : dag.predecessors(d)) {
        if (in_reach[parent]) return dag.name(parent);
      }
      return dag.name(c);
    };
    for (std::size_t d : affected) {
      const NodeFacts f = d == c ? own : facts(d);
      Invalidation inv;
      inv.node = d;
      inv.cancel_write = f.uses_disk && f.write_pending && !cancelled[d];
      cancelled[d] = cancelled[d] || inv.cancel_write;
      if (f.status != Status::Invalid && !noted[d]) {
        inv.reason = d == c ? decision : Reason{Cause::ParentReran, {}, through(d)};
        noted[d] = true;
      }
      invalid[d] = true;
      out.push_back(std::move(inv));
    }
  }
  return out;
}

namespace {

bool reads_any(const ParameterReads& reads, const std::vector<std::string>& names,
               std::vector<std::string>& hit) {
  if (reads.all) {
    hit = names;
  } else {
    for (const std::string& name : names) {
      if (reads.names.count(name) != 0) hit.push_back(name);
    }
  }
  // A reason names them in order, whatever order the caller gave them in.
  std::sort(hit.begin(), hit.end());
  return !hit.empty();
}

}  // namespace

std::vector<std::pair<std::size_t, Reason>> parameter_reach(const graph::Dag& dag,
                                                            const std::vector<std::string>& changed,
                                                            const Reads& reads) {
  std::vector<std::pair<std::size_t, Reason>> out;
  if (changed.empty()) return out;
  std::vector<bool> reached(dag.size(), false);
  for (std::size_t node : dag.topological_order()) {
    std::vector<std::string> hit;
    if (reads_any(reads(node), changed, hit)) {
      reached[node] = true;
      out.emplace_back(node, Reason{Cause::ParametersChanged, std::move(hit), {}});
      continue;
    }
    for (std::size_t parent : dag.predecessors(node)) {
      if (!reached[parent]) continue;
      reached[node] = true;
      out.emplace_back(node, Reason{Cause::ParentReran, {}, dag.name(parent)});
      break;
    }
  }
  return out;
}

std::vector<Invalidation> invalidate_for_parameters(const graph::Dag& dag,
                                                    const std::vector<std::string>& changed,
                                                    const Reads* reads, const Facts& facts,
                                                    const std::vector<bool>& current) {
  std::vector<Invalidation> out;
  if (changed.empty()) return out;
  auto add = [&](std::size_t node, Reason reason) {
    if (node < current.size() && current[node]) return;
    const NodeFacts f = facts(node);
    Invalidation inv;
    inv.node = node;
    inv.cancel_write = f.uses_disk && f.write_pending;
    if (f.status != Status::Invalid) inv.reason = std::move(reason);
    out.push_back(std::move(inv));
  };
  if (reads == nullptr) {
    for (std::size_t node = 0; node < dag.size(); ++node) {
      add(node, Reason{Cause::ParametersChanged, changed, {}});
    }
    return out;
  }
  for (auto& [node, reason] : parameter_reach(dag, changed, *reads)) add(node, std::move(reason));
  return out;
}

std::vector<std::string> changed_parameters(const std::vector<std::string>& before,
                                            const std::vector<std::string>& after,
                                            const std::function<bool(const std::string&)>& same) {
  std::set<std::string> old_names(before.begin(), before.end());
  std::set<std::string> new_names(after.begin(), after.end());
  std::vector<std::string> out;
  for (const std::string& name : old_names) {
    if (new_names.count(name) == 0 || !same(name)) out.push_back(name);
  }
  for (const std::string& name : new_names) {
    if (old_names.count(name) == 0) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Invalidation> invalidate_for_edit(const graph::Dag& dag,
                                              const std::vector<std::size_t>& code_changed,
                                              const std::vector<std::size_t>& parents_changed,
                                              const std::vector<bool>& fresh) {
  std::vector<std::optional<Reason>> own(dag.size());
  for (std::size_t node : parents_changed) own.at(node) = Reason{Cause::ParentsChanged, {}, {}};
  for (std::size_t node : code_changed) own.at(node) = Reason{Cause::CodeChanged, {}, {}};
  std::vector<Invalidation> out;
  std::vector<bool> reached(dag.size(), false);
  for (std::size_t node : dag.topological_order()) {
    std::optional<Reason> reason = own[node];
    if (!reason) {
      for (std::size_t parent : dag.predecessors(node)) {
        if (!reached[parent]) continue;
        reason = Reason{Cause::ParentReran, {}, dag.name(parent)};
        break;
      }
    }
    if (!reason) continue;
    reached[node] = true;
    if (node < fresh.size() && fresh[node]) continue;  // new: never ran, nothing to invalidate
    Invalidation inv;
    inv.node = node;
    inv.reason = std::move(reason);
    out.push_back(std::move(inv));
  }
  return out;
}

std::optional<std::size_t> unfinished_parent(const graph::Dag& dag, std::size_t node,
                                             const Facts& facts) {
  for (std::size_t parent : dag.predecessors(node)) {
    if (facts(parent).status != Status::Successful) return parent;
  }
  return std::nullopt;
}

std::optional<double> parameter_word(std::string_view type, std::string_view word) {
  if (type != "float") return std::nullopt;
  const bool negative = !word.empty() && word.front() == '-';
  const std::string_view bare = negative ? word.substr(1) : word;
  double value;
  if (bare == "inf") {
    value = std::numeric_limits<double>::infinity();
  } else if (bare == "nan") {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::string unfinished_parent_message(std::string_view parent) {
  return "Please execute the parent component [" + std::string(parent) + "] first.";
}

std::optional<std::string> InputMerge::add_statements(
    std::string_view parent, const std::vector<std::pair<std::string, std::string>>& statements) {
  for (const auto& [symbol, statement] : statements) {
    auto held = statements_.find(symbol);
    if (held != statements_.end() && held->second != statement) {
      return "'" + std::string(parent) + "/" + symbol + "' is " + statement +
             ", which differs from '" + held->second + "'.";
    }
  }
  for (const auto& [symbol, statement] : statements) statements_[symbol] = statement;
  return std::nullopt;
}

std::string InputMerge::value_conflict(std::string_view symbol) {
  return "Value of the object '" + std::string(symbol) +
         "' in this component cannot be determined since it inherits different values from "
         "different parents. Please change the pipeline structure or resolve value conflicts in "
         "the parent components.";
}

bool all_children_successful(const graph::Dag& dag, std::size_t node, const Facts& facts) {
  for (std::size_t child : dag.successors(node)) {
    if (facts(child).status != Status::Successful) return false;
  }
  return true;
}

std::vector<std::size_t> parents_to_free(const graph::Dag& dag, std::size_t node,
                                         const Facts& facts) {
  std::vector<std::size_t> out;
  for (std::size_t parent : dag.predecessors(node)) {
    if (!all_children_successful(dag, parent, facts)) continue;
    const NodeFacts f = facts(parent);
    if (f.uses_disk && f.disk != DiskStatus::Cached) continue;
    out.push_back(parent);
  }
  return out;
}

bool free_at_end(const NodeFacts& facts) {
  return !facts.uses_disk && facts.status != Status::Failed && !facts.memory_empty;
}

bool cancel_on_interrupt(const NodeFacts& facts) { return facts.uses_disk && facts.write_pending; }

bool keeps_earlier(const Reason& reason, const NodeFacts& facts) {
  switch (reason.cause) {
    case Cause::CodeChanged:
    case Cause::ParentsChanged:
    case Cause::ParametersChanged:
    case Cause::ParentReran:
      return facts.status == Status::Successful && facts.uses_disk &&
             facts.disk == DiskStatus::Cached;
    default:
      return false;
  }
}

std::vector<std::string> SetAside::add(const std::string& id, Entry entry, std::size_t limit) {
  std::vector<std::string> gone;
  std::vector<Entry>& held = held_[id];
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (it->fingerprint != entry.fingerprint) continue;
    if (it->folder == entry.folder) return gone;  // found again
    gone.push_back(it->folder);
    held.erase(it);
    break;
  }
  held.push_back(std::move(entry));
  while (held.size() > limit) {
    gone.push_back(held.front().folder);
    held.erase(held.begin());
  }
  if (held.empty()) held_.erase(id);
  return gone;
}

std::optional<std::string> SetAside::take(const std::string& id, const std::string& fingerprint) {
  auto found = held_.find(id);
  if (found == held_.end()) return std::nullopt;
  std::vector<Entry>& held = found->second;
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (it->fingerprint != fingerprint) continue;
    std::string folder = std::move(it->folder);
    held.erase(it);
    if (held.empty()) held_.erase(found);
    return folder;
  }
  return std::nullopt;
}

std::vector<std::string> SetAside::drop(const std::string* id) {
  std::vector<std::string> gone;
  for (auto it = held_.begin(); it != held_.end();) {
    if (id != nullptr && it->first != *id) {
      ++it;
      continue;
    }
    for (Entry& entry : it->second) gone.push_back(std::move(entry.folder));
    it = held_.erase(it);
  }
  return gone;
}

std::vector<std::string> SetAside::ids() const {
  std::vector<std::string> out;
  for (const auto& item : held_) out.push_back(item.first);
  return out;
}

bool SetAside::holds(const std::string& id, const std::string& fingerprint) const {
  auto found = held_.find(id);
  if (found == held_.end()) return false;
  for (const Entry& entry : found->second) {
    if (entry.fingerprint == fingerprint) return true;
  }
  return false;
}

bool write_after_success(bool uses_disk, bool in_search_reach) {
  return uses_disk && !in_search_reach;
}

HandOver hand_over(const NodeFacts& facts, bool had_cache) {
  if (!had_cache) return {};
  return {facts.status == Status::Successful && facts.memory_empty, true};
}

const std::string& FingerprintWalk::of(std::size_t node) {
  auto found = memo_.find(node);
  if (found != memo_.end()) return found->second;
  std::vector<std::size_t> parents = dag_->predecessors(node);
  std::sort(parents.begin(), parents.end(),
            [this](std::size_t a, std::size_t b) { return dag_->name(a) < dag_->name(b); });
  std::vector<std::string> prints;
  prints.reserve(parents.size());
  for (std::size_t parent : parents) prints.push_back(of(parent));
  std::string print = cache_fingerprint(code_(node), parameters_(node), prints);
  return memo_[node] = std::move(print);
}

std::string digest(const std::string& text) { return cache_fingerprint(text, {}, {}); }

std::string parameter_text(const ParameterReprs& covered) {
  // Names are unique, so the pairs sort by name alone; UTF-8 bytes sort as code points do.
  std::string text = "[";
  for (const auto& [name, repr] : covered) {
    if (text.size() > 1) text += ", ";
    text += "(" + repr.name + ", " + repr.value + ")";
  }
  return text + "]";
}

std::map<std::string, std::string> parameter_digests(const ParameterReprs& covered) {
  std::map<std::string, std::string> out;
  for (const auto& [name, repr] : covered) out[name] = digest(repr.value);
  return out;
}

Reason what_changed(const Sources& before, const Sources& now) {
  if (before.empty()) return {Cause::InputsChanged, {}, {}};
  if (before.code != now.code) return {Cause::CodeChanged, {}, {}};
  auto keys = [](const std::map<std::string, std::string>& m) {
    std::vector<std::string> out;
    for (const auto& item : m) out.push_back(item.first);
    return out;
  };
  if (keys(before.parents) != keys(now.parents)) return {Cause::ParentsChanged, {}, {}};
  std::vector<std::string> parameters = changed_parameters(
      keys(before.parameters), keys(now.parameters), [&](const std::string& name) {
        return before.parameters.at(name) == now.parameters.at(name);
      });
  if (!parameters.empty()) return {Cause::ParametersChanged, std::move(parameters), {}};
  for (const auto& [parent, print] : before.parents) {
    if (now.parents.at(parent) != print) return {Cause::ParentReran, {}, parent};
  }
  return {Cause::InputsChanged, {}, {}};
}

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::None:
      return "none";
    case Outcome::Invalidated:
      return "invalidated";
    case Outcome::Ran:
      return "ran";
    case Outcome::Reused:
      return "reused";
  }
  return "none";
}

Told tell(const Decision* decision) {
  if (decision == nullptr) {
    return {{"decision", "none"}, {"reason", "it has not been asked to run yet"}, {"cause", {}}};
  }
  const Reason& reason = decision->reason;
  Told told{{"decision", outcome_name(decision->outcome)},
            {"reason", because(reason)},
            {"cause", cause_name(reason.cause)}};
  if (reason.cause == Cause::ParametersChanged) told.emplace_back("parameters", reason.parameters);
  if (reason.cause == Cause::ParentReran) told.emplace_back("parent", reason.parent);
  return told;
}

const ParameterReads* ReadsByCode::find(const std::string& id, const std::string& code) const {
  const auto found = held_.find(id);
  return found != held_.end() && found->second.first == code ? &found->second.second : nullptr;
}

const ParameterReads& ReadsByCode::keep(const std::string& id, std::string code,
                                        ParameterReads reads) {
  auto& held = held_[id];
  held = {std::move(code), std::move(reads)};
  return held.second;
}

void Decisions::invalidated(const std::string& id, const Reason& reason, const NodeFacts* facts) {
  // Results it had once (under the same id, the component object since made anew) count too.
  if (facts != nullptr && facts->success_count == 0 && facts->status != Status::Successful &&
      results_.count(id) == 0) {
    // A parent that itself only ran for the first time, or new parameters, tell nothing about
    // a component that never had results; a parent that ran for a change does.
    const auto parent =
        reason.cause == Cause::ParentReran ? last_.find(reason.parent) : last_.end();
    if (reason.cause == Cause::ParametersChanged ||
        (reason.cause == Cause::ParentReran &&
         (parent == last_.end() || parent->second.reason.cause == Cause::NeverRan))) {
      return;
    }
  }
  auto noted = pending_.find(id);
  // A missing or unkept cache is what clearing left behind: the noted reason says why.
  const bool from_facts = reason.cause == Cause::CacheMissing ||
                          reason.cause == Cause::NotKeptOnDisk ||
                          reason.cause == Cause::CacheDamaged;
  const Reason& kept = noted != pending_.end() && from_facts ? noted->second : reason;
  pending_[id] = kept;
  last_[id] = Decision{Outcome::Invalidated, kept};
}

Decision Decisions::decide(const std::string& id, const NodeFacts& facts, bool transient) {
  std::optional<Reason> pending;
  auto found = pending_.find(id);
  if (found != pending_.end()) {
    pending = std::move(found->second);
    pending_.erase(found);
  }
  Reason reason = rerun_decision(facts, pending);
  Decision decision{reuses(reason.cause) ? Outcome::Reused : Outcome::Ran, std::move(reason)};
  last_[id] = decision;
  if (!transient && (decision.outcome == Outcome::Ran || results_.count(id) == 0)) {
    results_[id] = decision;
  }
  return decision;
}

void Decisions::cache_damaged(const std::string& id) {
  pending_.erase(id);
  last_[id] = results_[id] = Decision{Outcome::Ran, Reason{Cause::CacheDamaged, {}, {}}};
}

void Decisions::loaded(const std::string& id) {
  pending_.erase(id);
  results_[id] = Decision{Outcome::Reused, Reason{Cause::CurrentOnDisk, {}, {}}};
}

void Decisions::cleared(const std::string& id, const NodeFacts& facts) {
  // A component that never had results, or holds an error or a run in progress, keeps the
  // reason it has.
  if (facts.success_count == 0 || facts.status == Status::Failed ||
      facts.status == Status::Running) {
    return;
  }
  invalidated(id, Reason{Cause::Cleared, {}, {}});
  results_.erase(id);  // its results are gone
}

void Decisions::forget(const std::string& id) {
  pending_.erase(id);
  last_.erase(id);
  results_.erase(id);
}

const Decision* Decisions::results(const std::string& id) const {
  auto found = results_.find(id);
  return found == results_.end() ? nullptr : &found->second;
}

Decision Decisions::next(const std::string& id, const NodeFacts& facts) const {
  std::optional<Reason> pending;
  auto found = pending_.find(id);
  if (found != pending_.end()) pending = found->second;
  Reason reason = rerun_decision(facts, pending);
  return Decision{reuses(reason.cause) ? Outcome::Reused : Outcome::Ran, std::move(reason)};
}

const Decision* Decisions::last(const std::string& id) const {
  auto found = last_.find(id);
  return found == last_.end() ? nullptr : &found->second;
}

}  // namespace orvane::model
