// Unit tests of when a run's remembered fingerprint walk is made anew.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/graph.hpp"
#include "core/run_fingerprints.hpp"

using orvane::graph::Dag;
using orvane::model::FingerprintWalk;
using orvane::model::RunFingerprints;

TEST(RunFingerprints, AWalkIsMadeAnewOnlyWhenGraphVersionOrParametersChange) {
  Dag dag, other;
  dag.add_node("a");
  other.add_node("a");
  int made = 0;
  auto make = [&] {
    ++made;
    return FingerprintWalk(
        dag, [](std::size_t) { return std::string("x = 1"); },
        [](std::size_t) { return std::string("[]"); });
  };
  RunFingerprints run;
  // (graph, version, parameters) asked for in turn, and whether a new walk is made.
  const std::vector<std::tuple<const Dag*, int, std::string, bool>> steps{
      {&dag, 1, "[]", true},  {&dag, 1, "[]", false},   {&dag, 2, "[]", true},
      {&dag, 2, "[1]", true}, {&other, 2, "[1]", true}, {&other, 2, "[1]", false},
  };
  for (const auto& [graph, version, parameters, anew] : steps) {
    const int before = made;
    run.walk_for(graph, version, parameters, make);
    EXPECT_EQ(made - before, anew ? 1 : 0) << version << parameters;
  }
}
