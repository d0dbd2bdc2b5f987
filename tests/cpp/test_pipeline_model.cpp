// Unit tests of the engine's rules: a table per rule, and a random sequence of runs, parameter
// changes, edits and interrupts on a simulated pipeline checked against the invariants.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/pipeline_model.hpp"

using namespace orvane::model;
using orvane::graph::Dag;

namespace {

using S = Status;
using D = DiskStatus;

// load -> clean -> {calendar, market} -> model -> evaluate, as node indices 0..5.
Dag notebook() {
  Dag dag;
  for (const char* name : {"load", "clean", "calendar", "market", "model", "evaluate"}) {
    dag.add_node(name);
  }
  for (auto [a, b] :
       std::vector<std::pair<int, int>>{{0, 1}, {1, 2}, {1, 3}, {2, 4}, {3, 4}, {4, 5}}) {
    dag.add_edge(a, b);
  }
  return dag;
}

NodeFacts cached() { return {S::Successful, 1, true, D::Cached, false, true}; }

Facts all(std::vector<NodeFacts> facts) {
  return [facts](std::size_t n) { return facts.at(n); };
}

struct RerunCase {
  NodeFacts facts;
  bool excluded;
  Cause cause;
  bool rerun;
};

TEST(PipelineModel, RerunDecision) {
  const std::vector<RerunCase> table{
      {{S::Invalid, 0, true, D::Uncached, false, true}, false, Cause::NeverRan, true},
      {{S::Invalid, 2, true, D::Uncached, false, true}, false, Cause::Cleared, true},
      {{S::Failed, 1, true, D::Cached, false, true}, false, Cause::FailedBefore, true},
      {{S::Successful, 1, false, D::Uncached, false, false}, false, Cause::NotKeptOnDisk, true},
      {{S::Successful, 1, false, D::Uncached, false, false}, true, Cause::NotKeptOnDisk, false},
      {{S::Failed, 1, false, D::Uncached, false, false}, true, Cause::FailedBefore, true},
      {{S::Successful, 1, true, D::Uncached, false, false}, false, Cause::CacheMissing, true},
      {{S::Successful, 1, true, D::Failed, false, false}, false, Cause::CacheDamaged, true},
      {{S::Successful, 1, true, D::Updating, true, false}, false, Cause::CurrentInMemory, false},
      {{S::Successful, 1, true, D::Cached, false, true}, false, Cause::CurrentOnDisk, false},
  };
  for (std::size_t i = 0; i < table.size(); ++i) {
    const RerunCase& c = table[i];
    EXPECT_EQ(rerun_decision(c.facts).cause, c.cause) << "case " << i;
    EXPECT_EQ(needs_rerun(c.facts, c.excluded), c.rerun) << "case " << i;
  }
  const Reason pending{Cause::CodeChanged, {}, {}};
  EXPECT_EQ(rerun_decision({S::Invalid, 3, true, D::Uncached, false, true}, pending), pending);
  EXPECT_EQ(rerun_decision(cached(), pending).cause, Cause::CurrentOnDisk);
  // A successful component that lost its results says why they are gone, when that is known.
  EXPECT_EQ(rerun_decision({S::Successful, 1, true, D::Uncached, false, true}, pending), pending);
}

TEST(PipelineModel, InvalidationBeforeARun) {
  const Dag dag = notebook();
  struct Case {
    const char* name;
    std::vector<NodeFacts> facts;
    std::vector<std::size_t> plan;
    std::vector<std::size_t> invalidated;  // in order
    std::vector<std::size_t> cancelled;
    std::vector<std::string> parent_of;  // per invalidated node: "" own reason, "-" none kept
  };
  const NodeFacts pending_write{S::Successful, 1, true, D::Updating, true, false};
  const NodeFacts no_disk{S::Successful, 1, false, D::Uncached, false, false};
  const NodeFacts invalid{S::Invalid, 1, true, D::Uncached, false, true};
  const std::vector<Case> table{
      {"all current", std::vector<NodeFacts>(6, cached()), {0, 1, 3}, {}, {}, {}},
      {"a middle cell without disk cache takes its downstream",
       {cached(), cached(), cached(), no_disk, pending_write, cached()},
       {0, 1, 3},
       {3, 4, 5},
       {4},
       {"", "market", "model"}},
      {"an invalid ancestor reruns without invalidating here",
       {cached(), invalid, cached(), cached(), cached(), cached()},
       {0, 1, 2},
       {},
       {},
       {}},
      {"an already invalid descendant keeps its reason",
       {no_disk, cached(), invalid, cached(), cached(), cached()},
       {0},
       {0, 1, 2, 3, 4, 5},
       {},
       {"", "load", "-", "clean", "calendar", "model"}},
  };
  for (const Case& c : table) {
    const auto result = invalidate_for_run(dag, c.plan, all(c.facts));
    std::vector<std::size_t> nodes, cancelled;
    for (std::size_t i = 0; i < result.size(); ++i) {
      nodes.push_back(result[i].node);
      if (result[i].cancel_write) cancelled.push_back(result[i].node);
      const std::string& expect = c.parent_of[i];
      if (expect == "-") {
        EXPECT_FALSE(result[i].reason) << c.name;
      } else {
        ASSERT_TRUE(result[i].reason) << c.name;
        EXPECT_EQ(result[i].reason->parent, expect) << c.name;
      }
    }
    EXPECT_EQ(nodes, c.invalidated) << c.name;
    EXPECT_EQ(cancelled, c.cancelled) << c.name;
  }
}

TEST(PipelineModel, ParameterReach) {
  const Dag dag = notebook();
  // model reads ridge; calendar reads year; evaluate may read anything.
  const Reads reads = [](std::size_t n) {
    if (n == 4) return ParameterReads{false, {"ridge"}};
    if (n == 2) return ParameterReads{false, {"year", "unused"}};
    if (n == 5) return ParameterReads{true, {}};
    return ParameterReads{};
  };
  struct Case {
    std::vector<std::string> changed;
    std::vector<std::size_t> reached;
    std::vector<std::string> why;  // parameter names or "<parent"
  };
  const std::vector<Case> table{
      {{"ridge"}, {4, 5}, {"ridge", "ridge"}},
      {{"year"}, {2, 4, 5}, {"year", "<calendar", "year"}},
      {{"other"}, {5}, {"other"}},
      {{"year", "ridge"}, {2, 4, 5}, {"year", "ridge", "ridge"}},  // names sorted
      {{}, {}, {}},
  };
  for (const Case& c : table) {
    const auto reach = parameter_reach(dag, c.changed, reads);
    ASSERT_EQ(reach.size(), c.reached.size());
    for (std::size_t i = 0; i < reach.size(); ++i) {
      EXPECT_EQ(reach[i].first, c.reached[i]);
      const Reason& r = reach[i].second;
      const std::string why = r.cause == Cause::ParentReran ? "<" + r.parent : r.parameters.at(0);
      EXPECT_EQ(why, c.why[i]);
    }
  }
  // A node whose cache for the new values was taken back stays; what it reaches does not.
  std::vector<bool> current(6, false);
  current[2] = true;
  std::vector<std::size_t> invalidated;
  for (const Invalidation& inv : invalidate_for_parameters(
           dag, {"year"}, &reads, all(std::vector<NodeFacts>(6, cached())), current)) {
    invalidated.push_back(inv.node);
  }
  EXPECT_EQ(invalidated, (std::vector<std::size_t>{4, 5}));
}

TEST(PipelineModel, BareWordsOfFloatParameters) {
  // The value as printed (its sign too, "-nan" included); "" when the text stays the value.
  const std::vector<std::tuple<std::string, std::string, std::string>> cases{
      {"float", "inf", "inf"},   {"float", "-inf", "-inf"}, {"float", "nan", "nan"},
      {"float", "-nan", "-nan"}, {"str", "inf", ""},        {"float", "infinity", ""},
      {"float", "+inf", ""},     {"float", "", ""}};
  for (const auto& [type, word, shown] : cases) {
    const std::optional<double> value = parameter_word(type, word);
    char text[16] = "";
    if (value) std::snprintf(text, sizeof text, "%g", *value);
    EXPECT_EQ(text, shown) << type << " " << word;
  }
}

TEST(PipelineModel, InvalidationOnAnEdit) {
  const Dag dag = notebook();
  std::vector<bool> fresh(6, false);
  fresh[5] = true;
  const auto result = invalidate_for_edit(dag, {2}, {3}, fresh);
  std::vector<std::pair<std::size_t, Cause>> got;
  for (const Invalidation& inv : result) got.emplace_back(inv.node, inv.reason->cause);
  EXPECT_EQ(got,
            (std::vector<std::pair<std::size_t, Cause>>{
                {2, Cause::CodeChanged}, {3, Cause::ParentsChanged}, {4, Cause::ParentReran}}));
  EXPECT_TRUE(invalidate_for_edit(dag, {}, {}, fresh).empty());
}

TEST(PipelineModel, InputsFromParents) {
  const Dag dag = notebook();
  std::vector<NodeFacts> facts(6, cached());
  EXPECT_FALSE(unfinished_parent(dag, 4, all(facts)));
  facts[3].status = S::Failed;
  EXPECT_EQ(unfinished_parent(dag, 4, all(facts)), std::optional<std::size_t>(3));

  InputMerge merge;
  EXPECT_FALSE(merge.add_statements("load", {{"np", "import numpy as np"}}));
  EXPECT_FALSE(
      merge.add_statements("clean", {{"np", "import numpy as np"}, {"pd", "import pandas as pd"}}));
  // The conflicting parent adds nothing: its other statements do not count as held.
  EXPECT_EQ(merge.add_statements(
                "fit", {{"sk", "import sklearn as sk"}, {"np", "import numpy.random as np"}}),
            "'fit/np' is import numpy.random as np, which differs from 'import numpy as np'.");
  EXPECT_FALSE(merge.add_statements("plot", {{"sk", "import scipy as sk"}}));
  EXPECT_FALSE(merge.value_seen("data"));
  EXPECT_TRUE(merge.value_seen("data"));
}

TEST(PipelineModel, MemoryAndInterrupts) {
  const Dag dag = notebook();
  std::vector<NodeFacts> facts(6, cached());
  facts[3] = {S::Invalid, 0, true, D::Uncached, false, true};
  // clean's children are calendar (done) and market (not yet): clean stays.
  EXPECT_TRUE(parents_to_free(dag, 2, all(facts)).empty());
  facts[3] = cached();
  EXPECT_EQ(parents_to_free(dag, 2, all(facts)), (std::vector<std::size_t>{1}));
  facts[1].disk = D::Updating;  // its write has not completed: it keeps the only copy
  EXPECT_TRUE(parents_to_free(dag, 2, all(facts)).empty());

  struct Case {
    NodeFacts facts;
    bool freed_at_end, cancelled;
  };
  for (const Case& c : std::vector<Case>{
           {{S::Successful, 1, false, D::Uncached, false, false}, true, false},
           {{S::Failed, 1, false, D::Uncached, false, false}, false, false},
           {{S::Successful, 1, false, D::Uncached, false, true}, false, false},
           {{S::Successful, 1, true, D::Updating, true, false}, false, true},
           {{S::Successful, 1, true, D::Cached, false, false}, false, false},
       }) {
    EXPECT_EQ(free_at_end(c.facts), c.freed_at_end);
    EXPECT_EQ(cancel_on_interrupt(c.facts), c.cancelled);
  }
}

TEST(PipelineModel, WritesAndHandOver) {
  EXPECT_TRUE(write_after_success(true, false));
  EXPECT_FALSE(write_after_success(true, true));  // a search's trial result
  EXPECT_FALSE(write_after_success(false, false));

  struct Case {
    NodeFacts facts;
    bool had_cache, invalidate, uncache;
  };
  for (const Case& c : std::vector<Case>{
           {{S::Successful, 1, true, D::Cached, false, true}, true, true, true},    // values gone
           {{S::Successful, 1, true, D::Cached, false, false}, true, false, true},  // in memory
           {{S::Failed, 1, true, D::Cached, false, true}, true, false, true},
           {{S::Successful, 1, true, D::Uncached, false, true}, false, false, false},
       }) {
    const HandOver got = hand_over(c.facts, c.had_cache);
    EXPECT_EQ(got.invalidate, c.invalidate);
    EXPECT_EQ(got.uncache, c.uncache);
  }
}

TEST(PipelineModel, FingerprintsFollowWhatAResultIsComputedFrom) {
  const Dag dag = notebook();
  std::vector<std::string> code(6, "x = 1"), params(6, "[]");
  auto walk = [&] {
    FingerprintWalk w(
        dag, [&](std::size_t n) { return code[n]; }, [&](std::size_t n) { return params[n]; });
    std::vector<std::string> out;
    for (std::size_t n = 0; n < 6; ++n) out.push_back(w.of(n));
    return out;
  };
  const auto before = walk();
  params[4] = "[('ridge', 5.0)]";
  const auto after = walk();
  for (std::size_t n = 0; n < 6; ++n) EXPECT_EQ(before[n] == after[n], n < 4) << n;
}

TEST(PipelineModel, EarlierCachesAreKeptWhenInputsChange) {
  const NodeFacts writing{S::Successful, 1, true, D::Updating, true, false};
  const std::vector<std::tuple<Cause, NodeFacts, bool>> table{
      {Cause::ParametersChanged, cached(), true}, {Cause::ParentReran, cached(), true},
      {Cause::CodeChanged, cached(), true},       {Cause::ParametersChanged, writing, false},
      {Cause::CacheDamaged, cached(), false},     {Cause::Cleared, cached(), false},
  };
  for (const auto& [cause, facts, kept] : table) {
    EXPECT_EQ(keeps_earlier({cause, {}, {}}, facts), kept) << cause_name(cause);
  }
}

TEST(PipelineModel, SetAsideCachesOnePerFingerprintWithinALimit) {
  SetAside aside;
  // (folder, fingerprint) added with a limit of 2, and the folders that go.
  const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> adds{
      {"f1", "a", {}},     {"f2", "b", {}}, {"f2", "b", {}},  // found again: nothing goes
      {"f3", "a", {"f1"}},                                    // a newer cache for the same inputs
      {"f4", "c", {"f2"}},                                    // the oldest beyond the limit
  };
  for (const auto& [folder, print, gone] : adds) {
    EXPECT_EQ(aside.add("m", {folder, print}, 2), gone) << folder;
  }
  EXPECT_FALSE(aside.holds("m", "b"));
  EXPECT_EQ(aside.take("m", "a"), std::optional<std::string>("f3"));
  EXPECT_EQ(aside.take("m", "a"), std::nullopt);
  aside.add("e", {"f5", "a"}, 2);
  const std::string model = "m";
  EXPECT_EQ(aside.drop(&model), std::vector<std::string>{"f4"});
  EXPECT_EQ(aside.drop(nullptr), std::vector<std::string>{"f5"});
  EXPECT_TRUE(aside.empty());
}

TEST(PipelineModel, ParameterTextIsTheReprOfTheSortedPairs) {
  // Expected texts are what repr(sorted(d.items())) gives in the interpreter.
  const std::vector<std::pair<ParameterReprs, std::string>> table{
      {{}, "[]"},
      {{{"x", {"'x'", "1"}}}, "[('x', 1)]"},
      {{{"z", {"'z'", "'a'"}}, {"b", {"'b'", "[1, 2]"}}}, "[('b', [1, 2]), ('z', 'a')]"},
      {{{"\u00e9", {"'\u00e9'", "0.5"}}, {"z", {"'z'", "None"}}}, "[('z', None), ('\u00e9', 0.5)]"},
  };
  for (const auto& [covered, text] : table) EXPECT_EQ(parameter_text(covered), text);
  EXPECT_EQ(parameter_digests({{"b", {"'b'", "2"}}}),
            (std::map<std::string, std::string>{{"b", digest("2")}}));
}

TEST(PipelineModel, WhatChangedSinceACacheWasWritten) {
  const Sources before{digest("fit(x)"), {{"alpha", digest("1.0")}}, {{"clean", "aa"}}};
  struct Case {
    Sources now;
    Reason reason;
  };
  const std::vector<Case> table{
      {{digest("fit(x, y)"), before.parameters, before.parents}, {Cause::CodeChanged, {}, {}}},
      {{before.code, before.parameters, {{"load", "aa"}}}, {Cause::ParentsChanged, {}, {}}},
      {{before.code, {{"alpha", digest("2.0")}}, {{"clean", "bb"}}},
       {Cause::ParametersChanged, {"alpha"}, {}}},
      {{before.code, {{"alpha", digest("1.0")}, {"beta", digest("0")}}, before.parents},
       {Cause::ParametersChanged, {"beta"}, {}}},
      {{before.code, before.parameters, {{"clean", "bb"}}}, {Cause::ParentReran, {}, "clean"}},
  };
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(what_changed(before, table[i].now), table[i].reason) << "case " << i;
  }
  EXPECT_EQ(what_changed({}, before).cause, Cause::InputsChanged);
}

TEST(PipelineModel, DecisionsSayWhereResultsComeFromAndWhatTheNextRunDoes) {
  const NodeFacts invalid{S::Invalid, 1, true, D::Uncached, false, true};
  const Reason alpha{Cause::ParametersChanged, {"alpha"}, {}};
  using O = Outcome;
  using C = Cause;
  // step (ran, reused, trial: a search trial's run, invalidated or edited, loaded), then the
  // decision behind the results and what the next run does.
  const std::vector<std::tuple<std::string, O, C, O, C>> steps{
      {"loaded", O::Reused, C::CurrentOnDisk, O::Reused, C::CurrentOnDisk},
      {"reused", O::Reused, C::CurrentOnDisk, O::Reused, C::CurrentOnDisk},
      {"invalidated", O::Reused, C::CurrentOnDisk, O::Ran, C::ParametersChanged},
      {"ran", O::Ran, C::ParametersChanged, O::Reused, C::CurrentOnDisk},
      {"reused", O::Ran, C::ParametersChanged, O::Reused, C::CurrentOnDisk},
      {"edited", O::Ran, C::ParametersChanged, O::Ran, C::CodeChanged},
      {"trial", O::Ran, C::ParametersChanged, O::Reused, C::CurrentOnDisk},
      {"loaded", O::Reused, C::CurrentOnDisk, O::Reused, C::CurrentOnDisk},
  };
  Decisions decisions;
  bool current = false;
  for (const auto& [what, results, results_cause, next, next_cause] : steps) {
    if (what == "invalidated" || what == "edited") {
      decisions.invalidated("m", what == "edited" ? Reason{C::CodeChanged, {}, {}} : alpha);
    } else if (what == "loaded") {
      decisions.loaded("m");
    } else {
      decisions.decide("m", current ? cached() : invalid, what == "trial");
    }
    current = what != "invalidated" && what != "edited";
    ASSERT_NE(decisions.results("m"), nullptr) << what;
    EXPECT_EQ(decisions.results("m")->outcome, results) << what;
    EXPECT_EQ(decisions.results("m")->reason.cause, results_cause) << what;
    const Decision coming = decisions.next("m", current ? cached() : invalid);
    EXPECT_EQ(coming.outcome, next) << what;
    EXPECT_EQ(coming.reason.cause, next_cause) << what;
  }
  // Clearing a component's results: what the next run does with it, by what it was, also once
  // the run's own check finds its cache missing; then the decision the run takes.
  const NodeFacts emptied{S::Successful, 1, true, D::Uncached, false, true};
  const NodeFacts never{S::Invalid, 0, true, D::Uncached, false, true};
  const NodeFacts failed{S::Failed, 1, true, D::Uncached, false, true};
  for (const auto& [before, after, cause] :
       std::vector<std::tuple<NodeFacts, NodeFacts, C>>{{cached(), emptied, C::Cleared},
                                                        {invalid, invalid, C::Cleared},
                                                        {never, never, C::NeverRan},
                                                        {failed, failed, C::FailedBefore}}) {
    Decisions cleared;
    if (before.success_count > 0 && before.status == S::Invalid)
      cleared.invalidated("m", Reason{C::ParentReran, {}, "left"});
    if (before.status == S::Successful) cleared.decide("m", before);
    cleared.cleared("m", before);
    EXPECT_EQ(cleared.next("m", after).reason.cause, cause);
    if (after.status == S::Successful) cleared.invalidated("m", rerun_decision(after));
    EXPECT_EQ(cleared.decide("m", after).reason.cause, cause);
  }
  // A parent's rerun noted for a component, by what it had and why the parent ran: one without
  // results of its own keeps the reason it has (none: it never ran; a kept cache found stale)
  // unless the parent ran for a change.
  const Reason parent{C::ParentReran, {}, "left"}, stale{C::InputsChanged, {}, {}};
  const NodeFacts first{S::Invalid, 0, true, D::Uncached, false, true};
  for (const auto& [facts, noted, left_edited, cause] :
       std::vector<std::tuple<NodeFacts, bool, bool, C>>{{never, false, false, C::NeverRan},
                                                         {never, true, false, C::InputsChanged},
                                                         {never, false, true, C::ParentReran},
                                                         {invalid, false, false, C::ParentReran}}) {
    Decisions told;
    if (left_edited) told.invalidated("left", Reason{C::CodeChanged, {}, {}});
    told.decide("left", first);
    if (noted) told.invalidated("m", stale);
    told.invalidated("m", parent, &facts);
    EXPECT_EQ(told.next("m", facts).reason.cause, cause) << noted << left_edited;
  }
  // What a front end is told, before any decision and after one: the parameters or the parent
  // a reason names follow the three fields every decision has.
  const Decision ran{O::Ran, alpha}, after_parent{O::Invalidated, parent},
      reused{O::Reused, {C::CurrentInMemory, {}, {}}};
  using V = ToldValue;
  for (const auto& [decision, told] : std::vector<std::pair<const Decision*, Told>>{
           {nullptr,
            {{"decision", "none"}, {"reason", "it has not been asked to run yet"}, {"cause", {}}}},
           {&ran,
            {{"decision", "ran"},
             {"reason", because(alpha)},
             {"cause", "parameters_changed"},
             {"parameters", V(std::vector<std::string>{"alpha"})}}},
           {&after_parent,
            {{"decision", "invalidated"},
             {"reason", because(parent)},
             {"cause", "parent_reran"},
             {"parent", "left"}}},
           {&reused,
            {{"decision", "reused"},
             {"reason", because(reused.reason)},
             {"cause", "current_in_memory"}}}}) {
    EXPECT_EQ(tell(decision), told) << (decision ? because(decision->reason) : "none");
  }
}

TEST(PipelineModel, ParameterReadsAreKeptForTheCodeTheyCameFrom) {
  ReadsByCode reads;
  reads.keep("m", "y = alpha", {false, {"alpha"}});
  const std::vector<std::tuple<std::string, std::string, bool>> table{
      {"m", "y = alpha", true}, {"m", "y = beta", false}, {"n", "y = alpha", false}};
  for (const auto& [id, code, kept] : table) {
    EXPECT_EQ(reads.find(id, code) != nullptr, kept) << id << ": " << code;
  }
  // An edit replaces what was kept for the earlier code.
  reads.keep("m", "y = beta", {false, {"beta"}});
  EXPECT_EQ(reads.find("m", "y = alpha"), nullptr);
  EXPECT_EQ(reads.find("m", "y = beta")->names, std::set<std::string>{"beta"});
}

// A simulated pipeline driven only by the model's rules. Invariants after every step: a
// successful component's parents are successful, and its result was computed from what its
// fingerprint says now (nothing stale is ever reused); every component of a completed run is
// successful.
TEST(PipelineModel, RandomSequencesKeepResultsCurrent) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 40; ++round) {
    const std::size_t n = 3 + rng() % 6;
    Dag dag;
    for (std::size_t i = 0; i < n; ++i) dag.add_node("c" + std::to_string(i));
    for (std::size_t b = 1; b < n; ++b) {
      for (std::size_t a = 0; a < b; ++a) {
        if (rng() % 3 == 0) dag.add_edge(a, b);
      }
    }
    const std::vector<std::string> names{"p", "q", "r"};
    std::vector<ParameterReads> reads(n);
    std::vector<NodeFacts> facts(n);
    std::vector<std::string> code(n), ran_with(n);
    for (std::size_t i = 0; i < n; ++i) {
      reads[i].all = rng() % 7 == 0;
      if (rng() % 2) reads[i].names.insert(names[rng() % 3]);
      facts[i].uses_disk = rng() % 3 != 0;
      code[i] = "v0";
    }
    std::map<std::string, int> values{{"p", 0}, {"q", 0}, {"r", 0}};
    const bool reach = rng() % 2;
    const Reads read_of = [&](std::size_t i) { return reads[i]; };
    const Facts fact_of = [&](std::size_t i) { return facts[i]; };
    auto prints = [&] {
      FingerprintWalk walk(
          dag, [&](std::size_t i) { return code[i]; },
          [&](std::size_t i) {
            std::string text;
            for (const auto& [name, value] : values) {
              if (!reach || reads[i].all || reads[i].names.count(name)) {
                text += name + "=" + std::to_string(value) + ";";
              }
            }
            return text;
          });
      std::vector<std::string> out;
      for (std::size_t i = 0; i < n; ++i) out.push_back(walk.of(i));
      return out;
    };
    auto apply = [&](const std::vector<Invalidation>& invs) {
      for (const Invalidation& inv : invs) {
        if (inv.cancel_write) facts[inv.node].disk = D::Failed;
        facts[inv.node].write_pending = false;
        facts[inv.node].status = S::Invalid;
      }
    };
    for (int step = 0; step < 30; ++step) {
      const int op = rng() % 5;
      if (op == 0) {  // new parameter values
        const std::string name = names[rng() % 3];
        values[name] = static_cast<int>(rng() % 3);
        std::vector<std::string> changed{name};
        apply(invalidate_for_parameters(dag, changed, reach ? &read_of : nullptr, fact_of));
      } else if (op == 1) {  // an edit of one cell's code
        const std::size_t c = rng() % n;
        code[c] += "'";
        apply(invalidate_for_edit(dag, {c}, {}, std::vector<bool>(n, false)));
      } else if (op == 2) {  // writes finish
        for (NodeFacts& f : facts) {
          if (f.write_pending) f = {S::Successful, f.success_count, true, D::Cached, false, true};
        }
      } else {  // a run, perhaps interrupted
        const std::vector<std::size_t> plan = dag.execution_plan({rng() % n});
        apply(invalidate_for_run(dag, plan, fact_of));
        const std::vector<std::string> now = prints();
        const std::size_t stop = op == 3 && rng() % 2 ? rng() % plan.size() : plan.size();
        for (std::size_t k = 0; k < plan.size(); ++k) {
          const std::size_t c = plan[k];
          if (k >= stop && needs_rerun(facts[c])) {  // interrupted while it runs: it fails,
                                                     // pending writes are cancelled
            facts[c].status = S::Failed;
            for (NodeFacts& f : facts) {
              if (cancel_on_interrupt(f)) f.disk = D::Failed, f.write_pending = false;
            }
            break;
          }
          ASSERT_FALSE(unfinished_parent(dag, c, fact_of));
          if (!needs_rerun(facts[c])) continue;
          NodeFacts& f = facts[c];
          f.status = S::Successful;
          ++f.success_count;
          f.memory_empty = false;
          if (f.uses_disk) f.disk = D::Updating, f.write_pending = true;
          ran_with[c] = now[c];
        }
        if (stop == plan.size()) {  // completed
          for (std::size_t c : plan) ASSERT_EQ(facts[c].status, S::Successful);
        }
      }
      const std::vector<std::string> now = prints();
      for (std::size_t i = 0; i < n; ++i) {
        if (facts[i].status != S::Successful) continue;
        EXPECT_EQ(ran_with[i], now[i]) << "round " << round << " step " << step << " node " << i;
        EXPECT_FALSE(unfinished_parent(dag, i, fact_of)) << "round " << round << " node " << i;
      }
    }
  }
}

}  // namespace
