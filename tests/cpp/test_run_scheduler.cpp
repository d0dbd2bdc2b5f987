// Unit tests of the parallel run's bookkeeping.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/graph.hpp"
#include "core/run_scheduler.hpp"

using orvane::graph::Dag;
using orvane::run::Completions;
using orvane::run::on_stop;
using orvane::run::Phase;
using orvane::run::RunScheduler;

namespace {

using Names = std::vector<std::string>;

Dag build(const Names& nodes, const std::vector<std::pair<std::string, std::string>>& edges) {
  Dag g;
  for (const auto& n : nodes) g.add_node(n);
  for (const auto& [u, v] : edges) g.add_edge(g.add_node(u), g.add_node(v));
  return g;
}

std::size_t at(const Dag& g, const std::string& name) {
  return static_cast<std::size_t>(g.index_of(name));
}

// Starts every node that may start now, as one start pass does, and returns their names.
Names start_all(const Dag& g, RunScheduler& s) {
  Names started;
  while (auto node = s.next_startable()) {
    s.start(*node);
    started.push_back(g.name(*node));
  }
  return started;
}

}  // namespace

TEST(RunScheduler, NodesStartOnceEveryParentHasFinished) {
  //  a -> b -> d,  a -> c -> d,  e alone;  plan in topological order
  Dag g = build({"a", "b", "c", "d", "e"}, {{"a", "b"}, {"a", "c"}, {"b", "d"}, {"c", "d"}});
  RunScheduler s(g, g.execution_plan({at(g, "d"), at(g, "e")}));
  struct Step {
    std::string finished;  // node finished before the start pass ("" for none)
    Names started;
  };
  for (const Step& step : {Step{"", {"a", "e"}}, Step{"e", {}}, Step{"a", {"b", "c"}},
                           Step{"c", {}}, Step{"b", {"d"}}, Step{"d", {}}}) {
    if (!step.finished.empty()) s.finish(at(g, step.finished));
    EXPECT_EQ(s.ready_count(), step.started.size()) << "after " << step.finished;
    EXPECT_EQ(start_all(g, s), step.started) << "after " << step.finished;
  }
  EXPECT_TRUE(s.done());
  EXPECT_EQ(s.phase(at(g, "d")), Phase::Finished);
}

TEST(RunScheduler, RunningNodesKeepStartOrderAndStopDropsTheRest) {
  Dag g = build({"a", "b", "c", "d"}, {{"a", "d"}});
  RunScheduler s(g, {at(g, "a"), at(g, "b"), at(g, "c"), at(g, "d")});
  EXPECT_EQ(start_all(g, s), (Names{"a", "b", "c"}));
  s.finish(at(g, "b"));
  EXPECT_EQ(s.running(), (std::vector<std::size_t>{at(g, "a"), at(g, "c")}));
  EXPECT_EQ(s.waiting_count(), 1u);

  // A failure ends the run: what ran is reported once, nothing else may start.
  EXPECT_EQ(s.stop(), (std::vector<std::size_t>{at(g, "a"), at(g, "c")}));
  EXPECT_TRUE(s.done());
  EXPECT_FALSE(s.next_startable().has_value());
  EXPECT_EQ(s.phase(at(g, "d")), Phase::Dropped);
  EXPECT_EQ(s.phase(at(g, "b")), Phase::Finished);
  EXPECT_THROW(s.finish(at(g, "a")), std::logic_error);
}

TEST(RunScheduler, RejectsMisuse) {
  Dag g = build({"a", "b", "x"}, {{"a", "b"}});
  EXPECT_THROW(RunScheduler(g, {0, 0}), std::invalid_argument);
  EXPECT_THROW(RunScheduler(g, {7}), std::invalid_argument);
  RunScheduler s(g, {at(g, "a"), at(g, "b")});
  EXPECT_THROW(s.start(at(g, "b")), std::logic_error);   // parent not finished
  EXPECT_THROW(s.start(at(g, "x")), std::logic_error);   // not planned
  EXPECT_THROW(s.finish(at(g, "a")), std::logic_error);  // not running
  EXPECT_THROW(s.position(at(g, "x")), std::out_of_range);
  EXPECT_EQ(s.position(at(g, "b")), 1u);
}

TEST(RunScheduler, EmptyPlanIsDoneAtOnce) {
  Dag g = build({"a"}, {});
  RunScheduler s(g, {});
  EXPECT_TRUE(s.done());
  EXPECT_FALSE(s.next_startable().has_value());
}

TEST(RunScheduler, LongChainStartsOneNodeAtATime) {
  Dag g;
  for (int i = 0; i < 1000; ++i) g.add_node("n" + std::to_string(i));
  for (std::size_t i = 1; i < 1000; ++i) g.add_edge(i - 1, i);
  RunScheduler s(g, g.execution_plan({999}));
  std::size_t steps = 0;
  while (auto node = s.next_startable()) {
    s.start(*node);
    EXPECT_FALSE(s.next_startable().has_value());
    s.finish(*node);
    ++steps;
  }
  EXPECT_EQ(steps, 1000u);
  EXPECT_TRUE(s.done());
}

TEST(RunScheduler, CarriedChainFollowsFirstPlannedChildrenWithNoOtherParent) {
  //  a -> b,  a -> c,  a -> d,  x -> d,  c -> e -> f;  plan a x c b d e f (c before b)
  Dag g = build({"a", "b", "c", "d", "e", "f", "x"},
                {{"a", "b"}, {"a", "c"}, {"a", "d"}, {"x", "d"}, {"c", "e"}, {"e", "f"}});
  RunScheduler s(
      g, {at(g, "a"), at(g, "x"), at(g, "c"), at(g, "b"), at(g, "d"), at(g, "e"), at(g, "f")});
  auto chain = [&](const std::string& node, std::size_t depth) {
    Names names;
    for (std::size_t n : s.carried_chain(at(g, node), depth)) names.push_back(g.name(n));
    return names;
  };
  start_all(g, s);  // a and x run
  struct Row {
    std::string node;
    std::size_t depth;
    Names chain;
  };
  for (const Row& row : {Row{"a", 2, {"c", "e"}},  // c comes first in the plan; d has two parents
                         Row{"a", 5, {"c", "e", "f"}}, Row{"a", 0, {}},
                         Row{"x", 2, {}},        // its only child has another parent
                         Row{"e", 1, {"f"}}}) {  // waiting: what follows it once carried
    EXPECT_EQ(chain(row.node, row.depth), row.chain) << row.node << " " << row.depth;
  }
  s.finish(at(g, "a"));
  start_all(g, s);  // c and b run: a child started already is not carried again
  EXPECT_EQ(chain("a", 2), Names{});
  EXPECT_EQ(chain("c", 1), Names{"e"});
  EXPECT_EQ(chain("b", 2), Names{});
}

TEST(Completions, FirstOfEachTaskInArrivalOrderOnceItsComponentHandedItOver) {
  using Due = Completions<char>::Due;
  Completions<char> c(4);
  c.hand_over(0);
  c.hand_over(2);
  EXPECT_THROW(c.hand_over(2), std::logic_error);
  // 1 is carried: it completes before its component hands it over, and waits for that.
  const std::tuple<std::size_t, char, bool> arrivals[] = {
      {2, 'a', true}, {1, 'b', true}, {0, 'c', true}, {2, 'd', false}};
  for (const auto& [slot, answer, first] : arrivals) EXPECT_EQ(c.came(slot, answer), first) << slot;
  EXPECT_EQ(c.due(), (Due{{2, 'a'}, {0, 'c'}}));
  EXPECT_EQ(c.due(), Due{});
  c.hand_over(1);
  EXPECT_FALSE(c.came(1, 'e'));
  EXPECT_EQ(c.due(), (Due{{1, 'b'}}));
  EXPECT_THROW(c.came(4, 'f'), std::out_of_range);
}

TEST(StopActions, InterruptFailsWhatRanOrCancelsWritesOtherErrorsFailTheirSource) {
  using Nodes = std::vector<std::size_t>;
  struct Row {
    bool interrupted;
    Nodes running;
    std::optional<std::size_t> blamed;
    Nodes invalidate, fail;
    bool cancel_writes;
  };
  for (const Row& row :
       {Row{true, {3, 1}, 3, {}, {3, 1}, false}, Row{true, {}, 3, {}, {}, true},
        Row{false, {3, 1}, 1, {3, 1}, {1}, false}, Row{false, {}, std::nullopt, {}, {}, false}}) {
    const auto stop = on_stop(row.interrupted, row.running, row.blamed);
    EXPECT_EQ(stop.invalidate, row.invalidate);
    EXPECT_EQ(stop.fail, row.fail);
    EXPECT_EQ(stop.cancel_writes, row.cancel_writes);
  }
}
