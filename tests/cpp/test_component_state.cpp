// Unit tests of a component's status and disk-cache state machines: rule tables and a random
// sequence of operations checked against the invariants after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/component_state.hpp"

using namespace orvane::component;

namespace {

// Cases are named by their position in the table.
template <typename Info>
std::string by_index(const Info& info) {
  return "case" + std::to_string(info.index);
}

struct StatusCase {
  Status from, to;
  bool changed, clear_caches, reset_in_and_out;
  std::int64_t count_after;  // starting from a count of 5
};

class StatusRules : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusRules, PlanThenCommit) {
  const StatusCase& c = GetParam();
  const StatusChange change = plan_status(StatusState{c.from, 5}, c.to);
  EXPECT_EQ(change.changed, c.changed);
  EXPECT_EQ(change.clear_caches, c.clear_caches);
  EXPECT_EQ(change.reset_in_and_out, c.reset_in_and_out);
  EXPECT_EQ(change.after.success_count, c.count_after);
  EXPECT_EQ(change.after.status, c.changed ? c.to : c.from);
  StatusMachine machine;
  machine.commit(assign_status(machine.state(), c.from));
  machine.commit(assign_success_count(machine.state(), 5));
  machine.commit(machine.plan(c.to));
  EXPECT_EQ(machine.status(), c.to);
  EXPECT_EQ(machine.success_count(), c.count_after);
}

using S = Status;
INSTANTIATE_TEST_SUITE_P(
    Table, StatusRules,
    ::testing::Values(StatusCase{S::Invalid, S::Successful, true, false, false, 6},
                      StatusCase{S::Successful, S::Successful, false, false, false, 5},
                      StatusCase{S::Successful, S::Failed, true, false, true, 5},
                      StatusCase{S::Successful, S::Running, true, false, true, 5},
                      StatusCase{S::Running, S::Successful, true, false, false, 6},
                      StatusCase{S::Successful, S::Invalid, true, true, true, 5},
                      StatusCase{S::Failed, S::Invalid, true, true, true, 5},
                      StatusCase{S::Invalid, S::Invalid, false, false, false, 5},
                      StatusCase{S::Invalid, S::Running, true, false, true, 5}),
    by_index<::testing::TestParamInfo<StatusCase>>);

struct DiskCase {
  const char* name;
  DiskState before;
  DiskInput input;
  DiskState after;
};

DiskInput event(DiskEvent e) { return DiskInput{e}; }
DiskInput assign(DiskStatus s) { return DiskInput::assign(s); }
DiskInput with_write(DiskEvent e, std::int64_t count, const char* dir) {
  DiskInput in{e};
  in.write = Write{count, dir};
  return in;
}
DiskInput done(std::int64_t count, const char* dir, DoneFacts facts) {
  return DiskInput::done(Write{count, dir}, facts);
}
DiskInput stopped(bool enabled) { return DiskInput::stopped(enabled); }

using D = DiskStatus;
const Write kA{3, "a"};
const DoneFacts kCurrent{true, S::Successful, 3, true};

class DiskRules : public ::testing::TestWithParam<DiskCase> {};

TEST_P(DiskRules, Step) {
  const DiskCase& c = GetParam();
  const DiskState got = step(c.before, c.input);
  EXPECT_EQ(got.stored, c.after.stored) << c.name;
  EXPECT_EQ(got.attached, c.after.attached) << c.name;
  EXPECT_EQ(got.pending, c.after.pending) << c.name;
  EXPECT_EQ(got.withdrawn, c.after.withdrawn) << c.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, DiskRules, ::testing::Values(
    DiskCase{"failed load keeps the attached cache", {D::Cached, true, {}, {}, {}},
             event(DiskEvent::LoadFailed), {D::Failed, true, {}, {}, {}}},
    DiskCase{"release keeps the status", {D::Cached, true, {}, {}, {}},
             event(DiskEvent::Released), {D::Cached, false, {}, {}, {}}},
    DiskCase{"queued", {D::Cached, true, {}, {"a"}, {}},
             with_write(DiskEvent::WriteQueued, 3, "a"), {D::Updating, true, kA, {}, {}}},
    DiskCase{"cancel withdraws the pending write", {D::Updating, true, kA, {}, {}},
             event(DiskEvent::WriteCancelled), {D::Failed, true, {}, {"a"}, {}}},
    DiskCase{"stopped writer loses the write", {D::Updating, false, kA, {}, {}},
             stopped(true), {D::Failed, false, kA, {}, {}}},
    DiskCase{"stopped writer, caching off", {D::Updating, false, kA, {}, {}},
             stopped(false), {D::Updating, false, kA, {}, {}}},
    DiskCase{"done current", {D::Updating, false, kA, {}, {}},
             done(3, "a", kCurrent), {D::Updating, false, {}, {}, {}}},
    DiskCase{"done failed", {D::Updating, false, kA, {}, {}},
             done(3, "a", DoneFacts{false, S::Successful, 3, true}), {D::Failed, false, {}, {}, {}}},
    DiskCase{"done for an older write keeps the newer one", {D::Updating, false, Write{4, "b"}, {}, {}},
             done(3, "a", kCurrent), {D::Updating, false, Write{4, "b"}, {}, {}}}),
    by_index<::testing::TestParamInfo<DiskCase>>);
// clang-format on

// A done message is judged on the state it arrives in: taking it in forgets the withdrawal that
// decided its verdict.
TEST(DiskMachineRules, TakeDoneJudgesBeforeItForgets) {
  DiskMachine m;
  m.apply(DiskInput::queued(kA));
  m.apply(DiskInput{DiskEvent::WriteCancelled});
  EXPECT_EQ(m.take_done(kA, kCurrent), DoneVerdict::Withdrawn);
  EXPECT_FALSE(m.is_withdrawn("a"));
  // A cancel also withdraws a write queued before the pending one for the same results.
  m.apply(DiskInput::queued(kA));
  m.apply(DiskInput::queued(Write{3, "b"}));
  m.apply(DiskInput{DiskEvent::WriteCancelled});
  EXPECT_EQ(m.take_done(kA, kCurrent), DoneVerdict::Withdrawn);
  EXPECT_EQ(m.take_done(Write{3, "b"}, kCurrent), DoneVerdict::Withdrawn);
}

struct DoneCase {
  const char* name;
  DiskState state;
  Write write;
  DoneFacts facts;
  DoneVerdict verdict;
};

class DoneRules : public ::testing::TestWithParam<DoneCase> {};

TEST_P(DoneRules, Verdict) {
  const DoneCase& c = GetParam();
  EXPECT_EQ(judge_done(c.state, c.write, c.facts), c.verdict) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Table, DoneRules,
                         ::testing::Values(DoneCase{"current", {}, kA, kCurrent, DoneVerdict::Load},
                                           DoneCase{"withdrawn wins over failure",
                                                    {D::Failed, false, {}, {"a"}, {}},
                                                    kA,
                                                    DoneFacts{false, S::Successful, 3, true},
                                                    DoneVerdict::Withdrawn},
                                           DoneCase{"failed even when stale",
                                                    {},
                                                    kA,
                                                    DoneFacts{false, S::Invalid, 9, false},
                                                    DoneVerdict::Failed},
                                           DoneCase{"older count",
                                                    {},
                                                    kA,
                                                    DoneFacts{true, S::Successful, 4, true},
                                                    DoneVerdict::Stale},
                                           DoneCase{"no longer successful",
                                                    {},
                                                    kA,
                                                    DoneFacts{true, S::Running, 3, true},
                                                    DoneVerdict::Stale},
                                           DoneCase{"caching switched off",
                                                    {},
                                                    kA,
                                                    DoneFacts{true, S::Successful, 3, false},
                                                    DoneVerdict::Stale}),
                         by_index<::testing::TestParamInfo<DoneCase>>);

// A write completed at once is judged like a written one, except that only a cancel withdraws it.
struct CompletedCase {
  D stored;
  DoneFacts facts;
  DoneVerdict verdict;
};

class CompletedRules : public ::testing::TestWithParam<CompletedCase> {};

TEST_P(CompletedRules, Verdict) {
  const CompletedCase& c = GetParam();
  EXPECT_EQ(judge_completed(DiskState{c.stored, true, {}, {}, {}}, 3, c.facts), c.verdict);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, CompletedRules, ::testing::Values(
    CompletedCase{D::Updating, kCurrent, DoneVerdict::Load},
    CompletedCase{D::Failed, kCurrent, DoneVerdict::Withdrawn},     // cancelled meanwhile
    CompletedCase{D::Cached, kCurrent, DoneVerdict::Withdrawn},     // taken in already
    CompletedCase{D::Updating, DoneFacts{true, S::Successful, 4, true}, DoneVerdict::Stale},
    CompletedCase{D::Updating, DoneFacts{true, S::Running, 3, true}, DoneVerdict::Stale},
    CompletedCase{D::Updating, DoneFacts{true, S::Successful, 3, false}, DoneVerdict::Stale}),
    by_index<::testing::TestParamInfo<CompletedCase>>);
// clang-format on

TEST(CacheRules, ReadsFromDiskAsksTheMemoryLast) {
  struct Case {
    bool enabled, attached, memory_empty, from_disk, asked;
  };
  for (const Case& c :
       {Case{true, true, true, true, true}, Case{true, true, false, false, true},
        Case{false, true, true, false, false}, Case{true, false, true, false, false}}) {
    bool asked = false;
    const bool got = reads_from_disk(c.enabled, c.attached, [&] {
      asked = true;
      return c.memory_empty;
    });
    EXPECT_EQ(got, c.from_disk);
    EXPECT_EQ(asked, c.asked);
  }
}

TEST(CacheRules, RunOutcomeOfAnAnswersCode) {
  using O = RunOutcome;
  for (auto [code, want] :
       {std::pair{200L, O::Ok}, std::pair{206L, O::Partial}, std::pair{500L, O::Failed},
        std::pair{201L, O::Failed}, std::pair{-1L, O::Failed}}) {
    EXPECT_EQ(run_outcome(code), want) << code;
  }
}

TEST(CacheRules, LoadedStatusFromTheFieldsHeld) {
  using F = Field;
  struct Case {
    std::vector<F> held;
    Status want;
  };
  for (const Case& c : {Case{{}, Status::Invalid}, Case{{F::OutputsSummary}, Status::Invalid},
                        Case{{F::Captured}, Status::Successful},
                        Case{{F::ModuleStatements, F::ExceptionMsg}, Status::Failed}}) {
    const Status got = loaded_status(
        [&](F field) { return std::find(c.held.begin(), c.held.end(), field) != c.held.end(); });
    EXPECT_EQ(got, c.want) << c.held.size();
  }
}

// A component reduced to its two machines, driven the way the component and the pipeline drive
// them: a status change that clears caches unloads the disk cache, loading derives a status.
struct Model {
  StatusMachine run;
  DiskMachine disk;
  bool enabled = true;
  std::int64_t successes = 0;  // counted independently of the machine

  void set_status(Status next) {
    const StatusChange change = run.plan(next);
    if (!change.changed) return;
    if (change.clear_caches) unload();
    if (next == S::Successful) ++successes;
    run.commit(change);
  }
  void unload() { disk.apply(DiskInput{DiskEvent::Detached}); }
  void set_disk_status(DiskStatus s) {
    if (s == D::Uncached) unload();
    disk.apply(assign(s));
  }
  void load(bool ok, Status derived) {
    if (!ok) return disk.apply(DiskInput{DiskEvent::LoadFailed});
    disk.apply(DiskInput{DiskEvent::Attached});
    set_status(derived);
  }
};

TEST(ComponentRules, RandomSequencesKeepTheInvariants) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 200; ++round) {
    Model m;
    std::int64_t last_count = 0;
    std::vector<std::string> dirs;
    for (int stepno = 0; stepno < 200; ++stepno) {
      const int op = static_cast<int>(rng() % 11);
      const auto any_status = static_cast<Status>(rng() % 4);
      const auto any_disk = static_cast<DiskStatus>(rng() % 4);
      std::string dir = "w" + std::to_string(rng() % 6);
      const Status status_before = m.run.status();
      switch (op) {
        case 0:
          m.set_status(any_status);
          break;
        case 1:
          m.set_disk_status(any_disk);
          break;
        case 2:
          m.load(rng() % 4 != 0, static_cast<Status>(rng() % 4));
          break;
        case 3:
          m.unload();
          break;
        case 4:
          m.disk.apply(with_write(DiskEvent::WriteQueued, m.run.success_count(), dir.c_str()));
          break;
        case 5:
          m.disk.apply(event(DiskEvent::WriteRefused));
          break;
        case 6:
          m.disk.apply(event(DiskEvent::WriteCancelled));
          break;
        case 7:
          m.disk.apply(stopped(m.enabled));
          break;
        case 8: {
          const Write w =
              m.disk.pending() && rng() % 2 ? *m.disk.pending() : Write{m.run.success_count(), dir};
          const DoneFacts facts{rng() % 5 != 0, m.run.status(), m.run.success_count(), m.enabled};
          const DoneVerdict verdict = judge_done(m.disk.state(), w, facts);
          m.disk.apply(done(w.success_count, w.cache_dir.c_str(), facts));
          EXPECT_FALSE(m.disk.is_withdrawn(w.cache_dir));
          if (verdict == DoneVerdict::Load) m.load(true, S::Successful);
          if (verdict == DoneVerdict::Failed) {
            EXPECT_EQ(m.disk.stored(), D::Failed);
          }
          break;
        }
        case 9:
          m.enabled = !m.enabled;
          if (!m.enabled) m.set_disk_status(D::Uncached);
          break;
        case 10:
          m.disk.apply(event(DiskEvent::Released));
          break;
      }
      const DiskState& s = m.disk.state();
      ASSERT_GE(m.run.success_count(), last_count);
      last_count = m.run.success_count();
      ASSERT_EQ(m.run.success_count(), m.successes);
      ASSERT_TRUE(s.stored != D::Uncached || !s.attached) << "step " << stepno;
      ASSERT_EQ(m.disk.write_pending(), s.stored == D::Updating);
      if (s.pending) {
        ASSERT_EQ(s.withdrawn.count(s.pending->cache_dir), 0u);
      }
      ASSERT_EQ(m.disk.reported(m.enabled), m.enabled && s.attached ? D::Cached : s.stored);
      if (op == 0 && any_status == S::Invalid && status_before != S::Invalid) {
        ASSERT_FALSE(s.attached);
        ASSERT_EQ(s.stored, D::Uncached);
      }
    }
  }
}

}  // namespace
