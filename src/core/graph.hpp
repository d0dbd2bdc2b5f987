// Directed graph bookkeeping for run planning: ancestors, descendants, topological order.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvane::graph {

// A directed graph over named nodes. Nodes keep their insertion order and successor /
// predecessor lists keep the order in which edges were added, so every order computed here is
// reproducible from the order the graph was built in.
class Dag {
 public:
  // Adds a node and returns its index; an existing name returns its index unchanged.
  std::size_t add_node(const std::string& name);
  // Adds an edge from parent to child; an edge already present is not added twice. Both ends
  // must be existing node indices (std::out_of_range otherwise).
  void add_edge(std::size_t parent, std::size_t child);

  std::size_t size() const { return names_.size(); }
  std::size_t edge_count() const { return edge_count_; }
  // Index of a node, or -1 when there is no such node.
  long index_of(const std::string& name) const;
  const std::string& name(std::size_t node) const { return names_.at(node); }
  const std::vector<std::size_t>& successors(std::size_t node) const { return succ_.at(node); }
  const std::vector<std::size_t>& predecessors(std::size_t node) const { return pred_.at(node); }

  // Every node that reaches `node` (resp. is reached from it), without `node` itself, in node
  // order.
  std::vector<std::size_t> ancestors(std::size_t node) const;
  std::vector<std::size_t> descendants(std::size_t node) const;

  // Topological order of the subgraph induced by the nodes whose flag is set (all nodes when
  // `members` is empty), generation by generation: first every member without a parent in the
  // subgraph, in node order; then, generation by generation, the members whose last parent was
  // just released, in the order the release happened (parents in generation order, each
  // parent's children in edge order). Throws std::runtime_error when the subgraph has a cycle.
  std::vector<std::size_t> topological_order(const std::vector<bool>& members = {}) const;

  // The run plan for the requested nodes: each requested node with all its ancestors, each node
  // once, parents before children. Blocks follow the request order, each block in the
  // topological order of the subgraph induced by the requested node and its ancestors; a node
  // placed by an earlier block keeps its place, and a requested node that is already placed adds
  // nothing (its ancestors were placed with it).
  std::vector<std::size_t> execution_plan(const std::vector<std::size_t>& requested) const;

  // A cycle as a closed walk of node indices (first == last), or empty when there is none.
  std::vector<std::size_t> find_cycle() const;

 private:
  void check(std::size_t node) const;
  std::vector<bool> reach(std::size_t node, bool forward) const;

  std::vector<std::string> names_;
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<std::vector<std::size_t>> succ_;
  std::vector<std::vector<std::size_t>> pred_;
  std::size_t edge_count_ = 0;
};

}  // namespace orvane::graph
