// Directed graph bookkeeping for run planning.
#include "core/graph.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace orvane::graph {

std::size_t Dag::add_node(const std::string& name) {
  auto found = index_.find(name);
  if (found != index_.end()) return found->second;
  const std::size_t node = names_.size();
  names_.push_back(name);
  index_.emplace(name, node);
  succ_.emplace_back();
  pred_.emplace_back();
  return node;
}

void Dag::check(std::size_t node) const {
  if (node >= names_.size()) throw std::out_of_range("no such node in the graph");
}

void Dag::add_edge(std::size_t parent, std::size_t child) {
  check(parent);
  check(child);
  // Scan the shorter of the two lists: notebook graphs have small degrees, and a hub with many
  // children usually has few parents per child.
  const auto& shorter = succ_[parent].size() <= pred_[child].size() ? succ_[parent] : pred_[child];
  const std::size_t other = &shorter == &succ_[parent] ? child : parent;
  if (std::find(shorter.begin(), shorter.end(), other) != shorter.end()) return;
  succ_[parent].push_back(child);
  pred_[child].push_back(parent);
  ++edge_count_;
}

long Dag::index_of(const std::string& name) const {
  auto found = index_.find(name);
  return found == index_.end() ? -1 : static_cast<long>(found->second);
}

std::vector<bool> Dag::reach(std::size_t node, bool forward) const {
  check(node);
  const auto& adjacency = forward ? succ_ : pred_;
  std::vector<bool> seen(names_.size(), false);
  std::vector<std::size_t> stack{node};
  while (!stack.empty()) {
    const std::size_t current = stack.back();
    stack.pop_back();
    for (std::size_t next : adjacency[current]) {
      if (!seen[next]) {
        seen[next] = true;
        stack.push_back(next);
      }
    }
  }
  // A node is its own ancestor only on a cycle; the plan never treats it as one.
  seen[node] = false;
  return seen;
}

namespace {
std::vector<std::size_t> flagged(const std::vector<bool>& flags) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i]) out.push_back(i);
  }
  return out;
}
}  // namespace

std::vector<std::size_t> Dag::ancestors(std::size_t node) const {
  return flagged(reach(node, false));
}

std::vector<std::size_t> Dag::descendants(std::size_t node) const {
  return flagged(reach(node, true));
}

std::vector<std::size_t> Dag::topological_order(const std::vector<bool>& members) const {
  const std::size_t n = names_.size();
  const bool all = members.empty();
  if (!all && members.size() != n) {
    throw std::invalid_argument("member flags do not match the graph size");
  }
  auto member = [&](std::size_t i) { return all || members[i]; };

  std::vector<std::size_t> indegree(n, 0);
  std::size_t total = 0;
  std::vector<std::size_t> generation;
  for (std::size_t v = 0; v < n; ++v) {
    if (!member(v)) continue;
    ++total;
    for (std::size_t p : pred_[v]) {
      if (member(p)) ++indegree[v];
    }
    if (indegree[v] == 0) generation.push_back(v);
  }

  std::vector<std::size_t> order;
  order.reserve(total);
  std::vector<std::size_t> next;
  while (!generation.empty()) {
    next.clear();
    for (std::size_t v : generation) {
      order.push_back(v);
      for (std::size_t c : succ_[v]) {
        if (member(c) && --indegree[c] == 0) next.push_back(c);
      }
    }
    std::swap(generation, next);
  }
  if (order.size() != total) throw std::runtime_error("the graph contains a cycle");
  return order;
}

std::vector<std::size_t> Dag::execution_plan(const std::vector<std::size_t>& requested) const {
  const std::size_t n = names_.size();
  std::vector<bool> placed(n, false);
  std::vector<std::size_t> plan;
  for (std::size_t node : requested) {
    check(node);
    if (placed[node]) continue;
    // Placed nodes always come with all their ancestors, so when every parent is placed the
    // block adds this node alone. Requests in dependency order (running everything) stay
    // linear this way instead of walking each node's whole ancestry.
    const auto& parents = pred_[node];
    if (std::all_of(parents.begin(), parents.end(), [&](std::size_t p) { return placed[p]; })) {
      placed[node] = true;
      plan.push_back(node);
      continue;
    }
    std::vector<bool> block = reach(node, false);
    block[node] = true;
    for (std::size_t v : topological_order(block)) {
      if (!placed[v]) {
        placed[v] = true;
        plan.push_back(v);
      }
    }
  }
  return plan;
}

std::vector<std::size_t> Dag::find_cycle() const {
  const std::size_t n = names_.size();
  // 0 = unvisited, 1 = on the current path, 2 = finished.
  std::vector<int> state(n, 0);
  std::vector<std::size_t> parent(n, 0);
  for (std::size_t root = 0; root < n; ++root) {
    if (state[root] != 0) continue;
    // Iterative depth-first search: (node, index of the next successor to look at).
    std::vector<std::pair<std::size_t, std::size_t>> stack{{root, 0}};
    state[root] = 1;
    while (!stack.empty()) {
      auto& [v, i] = stack.back();
      if (i < succ_[v].size()) {
        const std::size_t c = succ_[v][i++];
        if (state[c] == 1) {
          std::vector<std::size_t> cycle{c};
          for (std::size_t w = v; w != c; w = parent[w]) cycle.push_back(w);
          cycle.push_back(c);
          std::reverse(cycle.begin(), cycle.end());
          return cycle;
        }
        if (state[c] == 0) {
          state[c] = 1;
          parent[c] = v;
          stack.emplace_back(c, 0);
        }
      } else {
        state[v] = 2;
        stack.pop_back();
      }
    }
  }
  return {};
}

}  // namespace orvane::graph
