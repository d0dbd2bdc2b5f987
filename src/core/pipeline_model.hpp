// The pipeline engine's rules over plain facts: what reruns and why, what a run, new parameters
// or a graph edit invalidate, which parents' inputs merge, what memory is freed, what an
// interrupt cancels, and the fingerprint walk.
//
// The components own their statuses; the engine reads them as NodeFacts, asks a rule here, and
// carries out the actions it returns. Every decision carries a Reason the engine keeps per
// component (Decisions) so that a front end can say why a component ran or was reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/component_state.hpp"
#include "core/graph.hpp"

namespace orvane::model {

using component::DiskStatus;
using component::Status;

// What a rule needs to know of one component at the moment it decides.
struct NodeFacts {
  Status status = Status::Invalid;
  std::int64_t success_count = 0;
  bool uses_disk = false;
  DiskStatus disk = DiskStatus::Uncached;  // as the component reports it
  bool write_pending = false;              // a write of its current results is queued
  bool memory_empty = true;                // its in-memory cache holds nothing
};
// The facts of a node, read when a rule asks (rules touch few nodes of a large graph).
using Facts = std::function<NodeFacts(std::size_t)>;

enum class Cause : std::uint8_t {
  // reused
  CurrentInMemory,
  CurrentOnDisk,
  // runs
  NeverRan,
  CodeChanged,
  ParentsChanged,
  ParametersChanged,
  ParentReran,
  CacheMissing,
  CacheDamaged,
  NotKeptOnDisk,
  Cleared,
  FailedBefore,
  Requested,
  // its kept cache was computed from inputs it cannot name (a cache of an older build)
  InputsChanged,
};

bool reuses(Cause cause);
// A short stable name ("parameters_changed") for structured output.
const char* cause_name(Cause cause);

struct Reason {
  Cause cause = Cause::Requested;
  std::vector<std::string> parameters;  // ParametersChanged: the names, sorted
  std::string parent;                   // ParentReran: the parent's id
  bool operator==(const Reason& other) const {
    return cause == other.cause && parameters == other.parameters && parent == other.parent;
  }
};

// Why, as a clause a person reads after "reused because" or "ran because": "its code changed",
// "parameters changed: alpha".
std::string because(const Reason& reason);

// ---- the rerun decision ----

// Whether a component must run again: anything but SUCCESSFUL runs; a successful one runs
// again unless its disk cache is current or being written (results are kept only through the
// disk cache). `pending` is why it was invalidated or cleared, when the engine knows.
Reason rerun_decision(const NodeFacts& facts, const std::optional<Reason>& pending = std::nullopt);
// The same as a yes/no; an excluded successful component is never rerun.
bool needs_rerun(const NodeFacts& facts, bool excluded = false);

// ---- invalidation ----

// One component marked INVALID: cancel its pending write first when asked; `reason` is set
// when it was not invalid before (an earlier reason stays the better explanation).
struct Invalidation {
  std::size_t node = 0;
  bool cancel_write = false;
  std::optional<Reason> reason;
};

// The pass before a run over `plan` (parents before children): each planned component that is
// not already invalid and needs a rerun is invalidated with its whole downstream. An ancestor
// that was already invalid reruns without invalidating its descendants here.
std::vector<Invalidation> invalidate_for_run(const graph::Dag& dag,
                                             const std::vector<std::size_t>& plan,
                                             const Facts& facts);

// Which parameters a component reads: `all` when it cannot be told (it may read any name).
struct ParameterReads {
  bool all = false;
  std::set<std::string> names;
};
using Reads = std::function<ParameterReads(std::size_t)>;

// The parameter reads of each component id, kept for the code they were derived from: the same
// code reads the same names, so they are derived again only after an edit.
class ReadsByCode {
 public:
  // The reads kept for this id and code, or null.
  const ParameterReads* find(const std::string& id, const std::string& code) const;
  const ParameterReads& keep(const std::string& id, std::string code, ParameterReads reads);

 private:
  std::unordered_map<std::string, std::pair<std::string, ParameterReads>> held_;
};

// The components a change of the named parameters reaches: those that read one of them and
// their descendants, in topological order, each with its reason (the names it reads, sorted, or
// the parent through which the change reached it).
std::vector<std::pair<std::size_t, Reason>> parameter_reach(const graph::Dag& dag,
                                                            const std::vector<std::string>& changed,
                                                            const Reads& reads);

// New parameter values. Without `reads` every component is invalidated (the parameters reach
// all of them); with it, only parameter_reach of the changed, added or removed names. A node
// flagged in `current` holds results for the new values already (a cache set aside for them
// was taken back) and stays as it is; what the change reaches through it is still invalidated.
std::vector<Invalidation> invalidate_for_parameters(const graph::Dag& dag,
                                                    const std::vector<std::string>& changed,
                                                    const Reads* reads, const Facts& facts,
                                                    const std::vector<bool>& current = {});

// Names whose value differs between two parameter sets (added, removed or changed), sorted.
// `same(name)` tells whether a name present in both holds an equal value.
std::vector<std::string> changed_parameters(const std::vector<std::string>& before,
                                            const std::vector<std::string>& after,
                                            const std::function<bool(const std::string&)>& same);

// A parameter text that parses but is no literal (a bare word, a call) is the text itself,
// except in a record typed float: the view shows non-finite floats as the bare words inf, -inf,
// nan and -nan, which read back as those floats. `word` is the text stripped and lower-cased.
std::optional<double> parameter_word(std::string_view type, std::string_view word);

// A graph edit: components whose code changed and those whose parents changed are invalid, and
// so is everything downstream of them, except components new to the graph (flagged in `fresh`).
std::vector<Invalidation> invalidate_for_edit(const graph::Dag& dag,
                                              const std::vector<std::size_t>& code_changed,
                                              const std::vector<std::size_t>& parents_changed,
                                              const std::vector<bool>& fresh);

// ---- inputs from parents ----

// The first direct parent (in edge order) that has not succeeded: the component cannot run.
std::optional<std::size_t> unfinished_parent(const graph::Dag& dag, std::size_t node,
                                             const Facts& facts);

// The error text of a component whose parent `parent` has not succeeded.
std::string unfinished_parent_message(std::string_view parent);

// Module statements merged from the parents in order. A symbol two parents define with
// different statements is a conflict; values two parents define are named for the caller to
// compare (values are the caller's objects). The texts of both conflicts are made here.
class InputMerge {
 public:
  // Adds parent `parent`'s statements; on a conflict nothing is added and the error text naming
  // the parent and its first conflicting symbol is returned.
  std::optional<std::string> add_statements(
      std::string_view parent, const std::vector<std::pair<std::string, std::string>>& statements);
  // Notes a value symbol of the next parent; true when an earlier parent gave one already.
  bool value_seen(const std::string& symbol) { return !values_.insert(symbol).second; }
  // The error text of a value symbol whose parents gave different values.
  static std::string value_conflict(std::string_view symbol);

 private:
  std::map<std::string, std::string> statements_;
  std::set<std::string> values_;
};

// ---- memory and interrupts ----

bool all_children_successful(const graph::Dag& dag, std::size_t node, const Facts& facts);
// After `node` succeeded or was reused: its parents whose children have all succeeded; a
// parent whose disk write has not completed keeps the only copy of its results.
std::vector<std::size_t> parents_to_free(const graph::Dag& dag, std::size_t node,
                                         const Facts& facts);
// At the end of a run: components without a disk cache give up their in-memory results, except
// a failed one (its cache holds the error the front end shows) and an empty one.
bool free_at_end(const NodeFacts& facts);
// What an interrupt cancels: every pending write (the run is abandoned).
bool cancel_on_interrupt(const NodeFacts& facts);

// ---- earlier results ----

// Whether invalidating a component sets its disk cache aside (kept by fingerprint, so that
// going back to the inputs it was computed from costs a read) rather than dropping it: only
// when what it is computed from changed (code, parents, parameters, a parent's result) and it
// holds a current disk cache.
bool keeps_earlier(const Reason& reason, const NodeFacts& facts);

// The disk caches set aside per component id (by a search, or for earlier inputs): folders with
// the fingerprint each records, oldest first, one per fingerprint.
class SetAside {
 public:
  struct Entry {
    std::string folder, fingerprint;
  };
  // Sets a folder aside; returns the folders that go: an earlier one for the same fingerprint,
  // and the oldest beyond `limit`.
  std::vector<std::string> add(const std::string& id, Entry entry, std::size_t limit);
  // Takes out the folder set aside for `fingerprint`, if any.
  std::optional<std::string> take(const std::string& id, const std::string& fingerprint);
  // Takes out every folder of one component, or of all when `id` is null.
  std::vector<std::string> drop(const std::string* id);
  // Forgets every folder without deleting any (they belong to someone else now).
  void forget() { held_.clear(); }
  bool empty() const { return held_.empty(); }
  std::vector<std::string> ids() const;
  bool holds(const std::string& id, const std::string& fingerprint) const;

 private:
  std::map<std::string, std::vector<Entry>> held_;
};

// ---- writes and ownership ----

// After a component succeeded: its results go to the disk cache when caching is on for it,
// except during a search for a component the tuned parameters reach (a trial's results are not
// kept).
bool write_after_success(bool uses_disk, bool in_search_reach);

// What a pipeline does with one component when its folder went to a newer pipeline with its
// identifier: a component that had a cache counts as cached no more, and one left without its
// values must run again.
struct HandOver {
  bool invalidate = false;  // to INVALID
  bool uncache = false;     // disk-cache status to UNCACHED
};
HandOver hand_over(const NodeFacts& facts, bool had_cache);

// ---- fingerprints ----

// The fingerprint of what a component's result is computed from: its code, the parameters it
// depends on (as text) and its parents' fingerprints, parents ordered by id. Remembered per node
// while the walk lives.
class FingerprintWalk {
 public:
  using Text = std::function<std::string(std::size_t)>;
  FingerprintWalk(const graph::Dag& dag, Text code, Text parameters)
      : dag_(&dag), code_(std::move(code)), parameters_(std::move(parameters)) {}
  const std::string& of(std::size_t node);

 private:
  const graph::Dag* dag_;
  Text code_, parameters_;
  std::unordered_map<std::size_t, std::string> memo_;
};

// ---- what a cache was computed from ----

// The inputs behind a result, each as a short digest: its code, each parameter its fingerprint
// covers, and each parent's fingerprint by parent id. Kept with a disk cache, so that a cache
// that no longer matches can say why.
struct Sources {
  std::string code;
  std::map<std::string, std::string> parameters;
  std::map<std::string, std::string> parents;
  bool empty() const { return code.empty() && parameters.empty() && parents.empty(); }
};
// A digest of one input's text for Sources.
std::string digest(const std::string& text);
// The texts repr() gives of a parameter's name and of its value, by name: the parameters a
// fingerprint covers.
struct ParameterRepr {
  std::string name, value;
};
using ParameterReprs = std::map<std::string, ParameterRepr>;
// The text a fingerprint takes in of its parameters: their (name, value) pairs in name order,
// written as repr(sorted(items)) writes them, so that caches written before stay current.
std::string parameter_text(const ParameterReprs& covered);
// Each covered parameter's value as a digest, for Sources::parameters.
std::map<std::string, std::string> parameter_digests(const ParameterReprs& covered);
// Why a result computed from `before` is not current for `now`: its code changed, the set of
// its parents changed, the named parameters changed (added, removed or other values), or a
// parent's result changed (the first by id). InputsChanged when `before` is unknown.
Reason what_changed(const Sources& before, const Sources& now);

// ---- the record of decisions ----

enum class Outcome : std::uint8_t { None, Invalidated, Ran, Reused };
const char* outcome_name(Outcome outcome);

struct Decision {
  Outcome outcome = Outcome::None;
  Reason reason;
};

// What a front end is told of a decision, null when none was taken, as named fields in order:
// the outcome's name ("decision"), why ("reason") and the cause's name ("cause", none for none),
// then the parameters ("parameters") or the parent ("parent") its reason names.
using ToldValue = std::variant<std::monostate, std::string, std::vector<std::string>>;
using Told = std::vector<std::pair<std::string, ToldValue>>;
Told tell(const Decision* decision);

// Per component id: the last decision taken, the decision behind its current results, and why
// a component that is invalid now was invalidated.
//
// What a person asks of a component is where its results come from and what the next run will
// do with it. The results come from the last run that ran it, or from a disk cache it took
// without running (adopted from an earlier kernel, or set aside by a search and current again);
// a later run that merely reuses them does not change that. Runs of a search's trials whose
// results are not kept (`transient`) change neither.
class Decisions {
 public:
  // Notes why a component became invalid; the reason it will run for. Given its facts before
  // the invalidation, a component that never had results of its own keeps the reason it has
  // (it never ran, its code changed, its kept cache was stale) over new parameters or the rerun
  // of a parent that never ran before either.
  void invalidated(const std::string& id, const Reason& reason, const NodeFacts* facts = nullptr);
  // The decision taken when the component's turn comes: reused, or runs with the reason.
  Decision decide(const std::string& id, const NodeFacts& facts, bool transient = false);
  // The cache could not be read back: the component runs for that.
  void cache_damaged(const std::string& id);
  // Its results were taken from a disk cache without a run; an earlier reason to run is void.
  void loaded(const std::string& id);
  // Its results were cleared by a cache command: the next run runs it for that.
  void cleared(const std::string& id, const NodeFacts& facts);
  void forget(const std::string& id);
  const Decision* last(const std::string& id) const;
  // The decision behind its current results, if any.
  const Decision* results(const std::string& id) const;
  // What the next run will do with it, from its facts now.
  Decision next(const std::string& id, const NodeFacts& facts) const;

 private:
  std::unordered_map<std::string, Decision> last_;
  std::unordered_map<std::string, Decision> results_;
  std::unordered_map<std::string, Reason> pending_;
};

}  // namespace orvane::model
