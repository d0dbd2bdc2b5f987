// Unit tests of the run-planning graph: orders, reachability, plans and cycles.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/graph.hpp"

using orvane::graph::Dag;

namespace {

// Builds a graph from node names (in order) and edges given as name pairs (in order).
Dag build(const std::vector<std::string>& nodes,
          const std::vector<std::pair<std::string, std::string>>& edges) {
  Dag g;
  for (const auto& n : nodes) g.add_node(n);
  for (const auto& [u, v] : edges) g.add_edge(g.add_node(u), g.add_node(v));
  return g;
}

std::vector<std::string> names(const Dag& g, const std::vector<std::size_t>& nodes) {
  std::vector<std::string> out;
  for (std::size_t n : nodes) out.push_back(g.name(n));
  return out;
}

std::size_t at(const Dag& g, const std::string& name) {
  return static_cast<std::size_t>(g.index_of(name));
}

using Names = std::vector<std::string>;

}  // namespace

TEST(Graph, NodesAndEdgesKeepInsertionOrderWithoutDuplicates) {
  Dag g = build({"a", "b", "c"}, {{"a", "c"}, {"a", "b"}, {"a", "c"}, {"b", "c"}});
  EXPECT_EQ(g.add_node("b"), 1u);
  EXPECT_EQ(g.size(), 3u);
  EXPECT_EQ(g.edge_count(), 3u);
  EXPECT_EQ(names(g, g.successors(at(g, "a"))), (Names{"c", "b"}));
  EXPECT_EQ(names(g, g.predecessors(at(g, "c"))), (Names{"a", "b"}));
  EXPECT_EQ(g.index_of("zzz"), -1);
  EXPECT_THROW(g.add_edge(0, 7), std::out_of_range);
}

TEST(Graph, AncestorsAndDescendantsExcludeTheNodeItself) {
  //   a -> b -> d
  //   c -> d -> e,  f alone
  Dag g = build({"a", "b", "c", "d", "e", "f"}, {{"a", "b"}, {"b", "d"}, {"c", "d"}, {"d", "e"}});
  struct Case {
    std::string node;
    Names ancestors;
    Names descendants;
  };
  for (const Case& c : {Case{"a", {}, {"b", "d", "e"}}, Case{"d", {"a", "b", "c"}, {"e"}},
                        Case{"e", {"a", "b", "c", "d"}, {}}, Case{"f", {}, {}}}) {
    EXPECT_EQ(names(g, g.ancestors(at(g, c.node))), c.ancestors) << c.node;
    EXPECT_EQ(names(g, g.descendants(at(g, c.node))), c.descendants) << c.node;
  }
}

TEST(Graph, TopologicalOrderGoesGenerationByGeneration) {
  struct Case {
    const char* what;
    Names nodes;
    std::vector<std::pair<std::string, std::string>> edges;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"empty graph", {}, {}, {}},
      {"independent nodes keep node order", {"c", "a", "b"}, {}, {"c", "a", "b"}},
      {"chain added backwards", {"z", "y", "x"}, {{"x", "y"}, {"y", "z"}}, {"x", "y", "z"}},
      // Roots first in node order, then children in the order their last parent released them.
      {"diamond",
       {"d", "b", "c", "a"},
       {{"a", "c"}, {"a", "b"}, {"b", "d"}, {"c", "d"}},
       {"a", "c", "b", "d"}},
      // A long branch does not delay the next generation of a short one.
      {"generations, not depth first",
       {"r", "s", "x", "y", "z"},
       {{"r", "x"}, {"x", "y"}, {"s", "z"}},
       {"r", "s", "x", "z", "y"}},
  };
  for (const Case& c : cases) {
    Dag g = build(c.nodes, c.edges);
    EXPECT_EQ(names(g, g.topological_order()), c.expected) << c.what;
  }
}

TEST(Graph, TopologicalOrderOfAnInducedSubgraphIgnoresOutsideParents) {
  // b's only parent a is outside the subgraph, so b is a root there and comes before d.
  Dag g = build({"a", "d", "b", "c"}, {{"a", "b"}, {"c", "d"}, {"b", "c"}});
  std::vector<bool> members{false, true, true, true};
  EXPECT_EQ(names(g, g.topological_order(members)), (Names{"b", "c", "d"}));
  EXPECT_THROW(g.topological_order({true}), std::invalid_argument);
}

TEST(Graph, ExecutionPlanPlacesEveryNodeOnceParentsFirst) {
  //   a -> b -> c,  a -> d,  e -> d
  Dag g = build({"a", "b", "c", "d", "e"}, {{"a", "b"}, {"b", "c"}, {"a", "d"}, {"e", "d"}});
  struct Case {
    const char* what;
    Names requested;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"nothing requested", {}, {}},
      {"a root alone", {"a"}, {"a"}},
      {"a leaf pulls its ancestors", {"c"}, {"a", "b", "c"}},
      {"shared ancestor placed once, at its first place", {"c", "d"}, {"a", "b", "c", "e", "d"}},
      {"block order follows the request order", {"d", "c"}, {"a", "e", "d", "b", "c"}},
      {"an already placed request adds nothing", {"c", "b", "a"}, {"a", "b", "c"}},
      {"repeated request", {"b", "b"}, {"a", "b"}},
      {"everything in node order", {"a", "b", "c", "d", "e"}, {"a", "b", "c", "e", "d"}},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> requested;
    for (const auto& r : c.requested) requested.push_back(at(g, r));
    EXPECT_EQ(names(g, g.execution_plan(requested)), c.expected) << c.what;
  }
  EXPECT_THROW(g.execution_plan({99}), std::out_of_range);
}

TEST(Graph, LongChainPlansInOrder) {
  Dag g;
  const std::size_t n = 2000;
  for (std::size_t i = 0; i < n; ++i) g.add_node("n" + std::to_string(i));
  for (std::size_t i = 0; i + 1 < n; ++i) g.add_edge(i, i + 1);
  std::vector<std::size_t> all(n);
  for (std::size_t i = 0; i < n; ++i) all[i] = i;
  auto plan = g.execution_plan(all);
  ASSERT_EQ(plan.size(), n);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(plan[i], i);
  EXPECT_EQ(g.descendants(0).size(), n - 1);
}

TEST(Graph, CyclesAreFoundAsClosedWalks) {
  struct Case {
    const char* what;
    Names nodes;
    std::vector<std::pair<std::string, std::string>> edges;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"acyclic", {"a", "b", "c"}, {{"a", "b"}, {"a", "c"}, {"b", "c"}}, {}},
      {"self loop", {"a"}, {{"a", "a"}}, {"a", "a"}},
      {"three-cycle behind a root",
       {"r", "a", "b", "c"},
       {{"r", "a"}, {"a", "b"}, {"b", "c"}, {"c", "a"}},
       {"a", "b", "c", "a"}},
  };
  for (const Case& c : cases) {
    Dag g = build(c.nodes, c.edges);
    EXPECT_EQ(names(g, g.find_cycle()), c.expected) << c.what;
    if (!c.expected.empty()) {
      EXPECT_THROW(g.topological_order(), std::runtime_error) << c.what;
    }
  }
}
