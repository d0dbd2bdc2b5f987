// The rules of a component's run status and disk-cache status.
#include "core/component_state.hpp"

#include <utility>

namespace orvane::component {

const char* to_string(Status status) {
  switch (status) {
    case Status::Invalid:
      return "invalid";
    case Status::Running:
      return "running";
    case Status::Successful:
      return "successful";
    case Status::Failed:
      return "failed";
  }
  return "?";
}

const char* to_string(DiskStatus status) {
  switch (status) {
    case DiskStatus::Uncached:
      return "uncached";
    case DiskStatus::Updating:
      return "updating";
    case DiskStatus::Cached:
      return "cached";
    case DiskStatus::Failed:
      return "failed";
  }
  return "?";
}

const char* to_string(Field field) {
  static constexpr const char* kNames[] = {"module_statements", "non_module_outputs",
                                           "last_output",       "captured",
                                           "exception_msg",     "outputs_summary"};
  return kNames[static_cast<int>(field)];
}

StatusChange plan_status(const StatusState& state, Status next) {
  StatusChange change{state, state};
  if (next == state.status) return change;
  change.changed = true;
  change.after.status = next;
  if (next == Status::Successful) {
    ++change.after.success_count;
  } else {
    change.clear_caches = next == Status::Invalid;
    change.reset_in_and_out = true;
  }
  return change;
}

StatusChange assign_status(const StatusState& state, Status next) {
  StatusChange change{state, state};
  change.after.status = next;
  change.changed = next != state.status;
  return change;
}

StatusChange assign_success_count(const StatusState& state, std::int64_t count) {
  StatusChange change{state, state};
  change.after.success_count = count;
  change.changed = count != state.success_count;
  return change;
}

bool write_current(std::int64_t written_for, const DoneFacts& facts) {
  return facts.success_count == written_for && facts.status == Status::Successful && facts.enabled;
}

DoneVerdict judge_done(const DiskState& state, const Write& write, const DoneFacts& facts) {
  if (state.withdrawn.count(write.cache_dir) != 0) return DoneVerdict::Withdrawn;
  if (!facts.successful) return DoneVerdict::Failed;
  return write_current(write.success_count, facts) ? DoneVerdict::Load : DoneVerdict::Stale;
}

DoneVerdict judge_completed(const DiskState& state, std::int64_t written_for,
                            const DoneFacts& facts) {
  if (state.stored != DiskStatus::Updating) return DoneVerdict::Withdrawn;
  return write_current(written_for, facts) ? DoneVerdict::Load : DoneVerdict::Stale;
}

DiskState step(DiskState state, const DiskInput& input) {
  switch (input.event) {
    case DiskEvent::Assign:
      state.stored = input.status;
      break;
    case DiskEvent::Attached:
      state.attached = true;
      state.stored = DiskStatus::Cached;
      break;
    case DiskEvent::LoadFailed:
      state.stored = DiskStatus::Failed;
      break;
    case DiskEvent::Detached:
      state.attached = false;
      state.stored = DiskStatus::Uncached;
      break;
    case DiskEvent::Released:
      state.attached = false;
      break;
    case DiskEvent::HandleSet:
      state.attached = true;
      break;
    case DiskEvent::WriteQueued:
      // A newer write supersedes the pending one; its message will be judged by success count.
      state.withdrawn.erase(input.write.cache_dir);
      if (state.pending && state.pending->cache_dir != input.write.cache_dir) {
        state.earlier.insert(state.pending->cache_dir);
      }
      state.pending = input.write;
      state.stored = DiskStatus::Updating;
      break;
    case DiskEvent::WriteRefused:
      state.stored = DiskStatus::Failed;
      break;
    case DiskEvent::WriteCancelled:
      if (state.pending) state.withdrawn.insert(state.pending->cache_dir);
      state.withdrawn.merge(state.earlier);
      state.pending.reset();
      state.stored = DiskStatus::Failed;
      break;
    case DiskEvent::WriterStopped:
      // The pending write stays recorded: if it finishes after all, its message is judged by
      // success count like any other.
      if (input.enabled && state.stored == DiskStatus::Updating) state.stored = DiskStatus::Failed;
      break;
    case DiskEvent::WriteDone: {
      const DoneVerdict verdict = judge_done(state, input.write, input.facts);
      state.withdrawn.erase(input.write.cache_dir);
      state.earlier.erase(input.write.cache_dir);
      if (state.pending && state.pending->cache_dir == input.write.cache_dir) state.pending.reset();
      if (verdict == DoneVerdict::Failed) state.stored = DiskStatus::Failed;
      break;
    }
  }
  return state;
}

}  // namespace orvane::component
