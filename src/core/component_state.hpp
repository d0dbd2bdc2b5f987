// The two state machines of a code-cell component: its run status and its disk-cache status.
//
// Both are plain values changed by one pure function each (`step`), so every rule is visible in
// one place and can be tested without an interpreter. The component applies what a change asks
// of it (emptying caches, resetting its in/out record) between planning and committing.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace orvane::component {

enum class Status : std::uint8_t { Invalid, Running, Successful, Failed };
enum class DiskStatus : std::uint8_t { Uncached, Updating, Cached, Failed };

inline constexpr Status kStatuses[] = {Status::Invalid, Status::Running, Status::Successful,
                                       Status::Failed};
inline constexpr DiskStatus kDiskStatuses[] = {DiskStatus::Uncached, DiskStatus::Updating,
                                               DiskStatus::Cached, DiskStatus::Failed};

// The status's text: the value of its member in the package's status enumerations, whose
// members are made from these texts.
const char* to_string(Status status);
const char* to_string(DiskStatus status);

// ---- run status ----

struct StatusState {
  Status status = Status::Invalid;
  std::int64_t success_count = 0;  // transitions into SUCCESSFUL
};

// A planned status change: what it asks of the component before it is committed, in this order.
struct StatusChange {
  StatusState before, after;
  bool changed = false;           // false: the status is the current one and nothing happens
  bool clear_caches = false;      // entering INVALID: results dropped from memory and from disk
  bool reset_in_and_out = false;  // every status but SUCCESSFUL starts from an empty record
};

// The status setter's rule.
StatusChange plan_status(const StatusState& state, Status next);
// A direct assignment of the stored status or count, with no side effects.
StatusChange assign_status(const StatusState& state, Status next);
StatusChange assign_success_count(const StatusState& state, std::int64_t count);

class StatusMachine {
 public:
  const StatusState& state() const { return state_; }
  Status status() const { return state_.status; }
  std::int64_t success_count() const { return state_.success_count; }
  StatusChange plan(Status next) const { return plan_status(state_, next); }
  // The one place the status and the count change.
  void commit(const StatusChange& change) { state_ = change.after; }

 private:
  StatusState state_;
};

// ---- disk-cache status ----

// A write handed to the background writer: the success count it was made for and its folder.
struct Write {
  std::int64_t success_count = 0;
  std::string cache_dir;
  bool operator==(const Write& other) const {
    return success_count == other.success_count && cache_dir == other.cache_dir;
  }
};

struct DiskState {
  DiskStatus stored = DiskStatus::Uncached;
  bool attached = false;         // a disk cache is loaded into the component
  std::optional<Write> pending;  // the last write queued and not yet reported done
  // Folders of writes withdrawn by a cancel whose done message has not arrived. The writer
  // cannot withdraw a write that has already finished; its message must then be discarded
  // instead of bringing back results the component no longer holds.
  std::set<std::string> withdrawn;
  // Folders of writes queued before the pending one whose done message has not arrived: a
  // cancel withdraws them too, or one landing after it would bring the results back.
  std::set<std::string> earlier;
};

enum class DiskEvent : std::uint8_t {
  Assign,          // stored = status (the setter's last step, or a direct assignment)
  Attached,        // a disk cache was loaded: attached and CACHED
  LoadFailed,      // loading failed: FAILED, whatever was attached stays
  Detached,        // unloaded: detached and UNCACHED
  Released,        // the handle was let go without touching the status (another owner keeps it)
  HandleSet,       // a handle was attached directly, the status untouched
  WriteQueued,     // the writer accepted a write: UPDATING, that write pending
  WriteRefused,    // the writer refused a write: FAILED
  WriteCancelled,  // the pending write is withdrawn: FAILED
  WriterStopped,   // the writer stopped: a write in progress is lost (FAILED when enabled)
  WriteDone,       // the writer reported a write done; see judge_done
};

// What to do with a done message of the writer, in the order the rules apply.
enum class DoneVerdict : std::uint8_t {
  Withdrawn,  // cancelled meanwhile: discard its folder, nothing changes
  Failed,     // the write failed: FAILED
  Stale,      // written for results the component no longer holds: discard its folder
  Load,       // current: load its folder into the component
};

// What the component is at the moment a done message is taken in.
struct DoneFacts {
  bool successful = true;  // the writer's verdict
  Status status = Status::Invalid;
  std::int64_t success_count = 0;
  bool enabled = false;  // disk caching switched on for the component
};

struct DiskInput {
  explicit DiskInput(DiskEvent e = DiskEvent::Assign) : event(e) {}
  // The inputs that carry more than their event.
  static DiskInput assign(DiskStatus status) {
    DiskInput in{DiskEvent::Assign};
    in.status = status;
    return in;
  }
  static DiskInput queued(Write write) {
    DiskInput in{DiskEvent::WriteQueued};
    in.write = std::move(write);
    return in;
  }
  static DiskInput stopped(bool enabled) {
    DiskInput in{DiskEvent::WriterStopped};
    in.enabled = enabled;
    return in;
  }
  static DiskInput done(Write write, const DoneFacts& facts) {
    DiskInput in{DiskEvent::WriteDone};
    in.write = std::move(write);
    in.facts = facts;
    return in;
  }
  DiskEvent event;
  DiskStatus status = DiskStatus::Uncached;  // Assign
  Write write;                               // WriteQueued, WriteDone
  bool enabled = false;                      // WriterStopped
  DoneFacts facts;                           // WriteDone
};

// Whether a write made for success count `written_for` still holds the component's results: the
// component is SUCCESSFUL with that count and disk caching is on. Every finished write, written or
// completed at once, is judged by this.
bool write_current(std::int64_t written_for, const DoneFacts& facts);
DoneVerdict judge_done(const DiskState& state, const Write& write, const DoneFacts& facts);
// A write that completed at once (a reused component's attached folder, nothing written):
// Withdrawn when it is no longer pending (a cancel came between), Load when current, Stale
// otherwise. Its folder is the component's own cache, so no verdict discards it.
DoneVerdict judge_completed(const DiskState& state, std::int64_t written_for,
                            const DoneFacts& facts);
DiskState step(DiskState state, const DiskInput& input);

// The status the component reports: CACHED whenever disk caching is enabled and a cache is
// attached, the stored status otherwise.
inline DiskStatus reported_status(const DiskState& state, bool enabled) {
  return enabled && state.attached ? DiskStatus::Cached : state.stored;
}

class DiskMachine {
 public:
  const DiskState& state() const { return state_; }
  DiskStatus stored() const { return state_.stored; }
  bool attached() const { return state_.attached; }
  DiskStatus reported(bool enabled) const { return reported_status(state_, enabled); }
  // A write is queued and neither finished, failed nor withdrawn.
  bool write_pending() const { return state_.stored == DiskStatus::Updating; }
  const std::optional<Write>& pending() const { return state_.pending; }
  // Some write has not reported done: the pending one or one queued before it.
  bool write_in_flight() const { return state_.pending || !state_.earlier.empty(); }
  bool is_withdrawn(const std::string& cache_dir) const {
    return state_.withdrawn.count(cache_dir) != 0;
  }
  // The one place the disk-cache state changes.
  void apply(const DiskInput& input) { state_ = step(std::move(state_), input); }
  // Takes in a done message of the writer: its verdict, judged before the state changes.
  DoneVerdict take_done(Write write, const DoneFacts& facts) {
    const DoneVerdict verdict = judge_done(state_, write, facts);
    apply(DiskInput::done(std::move(write), facts));
    return verdict;
  }

 private:
  DiskState state_;
};

// ---- rules across both ----

// The cache that serves reads: the disk cache when disk caching is enabled, one is attached
// and the in-memory cache holds nothing. `memory_empty` is asked last, only when it decides:
// finding out may cost a comparison.
template <typename MemoryEmpty>
bool reads_from_disk(bool enabled, bool attached, MemoryEmpty&& memory_empty) {
  return enabled && attached && memory_empty();
}

// The fields of a component's cache records; to_string gives the attribute naming each.
enum class Field : std::uint8_t {
  ModuleStatements,
  NonModuleOutputs,
  LastOutput,
  Captured,
  ExceptionMsg,
  OutputsSummary
};
const char* to_string(Field field);

// The status a freshly loaded disk cache implies, asking `holds(field)` in turn: an error makes
// it FAILED, any result (statements, outputs, a last output, captured output) SUCCESSFUL, a
// cache with neither INVALID. Its summary alone is no result.
template <typename Holds>
Status loaded_status(Holds&& holds) {
  if (holds(Field::ExceptionMsg)) return Status::Failed;
  for (Field field :
       {Field::ModuleStatements, Field::NonModuleOutputs, Field::LastOutput, Field::Captured}) {
    if (holds(field)) return Status::Successful;
  }
  return Status::Invalid;
}

// How a run ended, from the status code of its answer: 200 a result, 206 a result with a
// warning for stderr, any other code a failure.
enum class RunOutcome : std::uint8_t { Ok, Partial, Failed };
inline RunOutcome run_outcome(long code) {
  if (code == 200) return RunOutcome::Ok;
  return code == 206 ? RunOutcome::Partial : RunOutcome::Failed;
}

}  // namespace orvane::component
