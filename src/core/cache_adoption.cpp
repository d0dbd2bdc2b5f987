// Adoption planning for a directory of component caches; see cache_adoption.hpp.
#include "core/cache_adoption.hpp"

#include <unordered_map>
#include <unordered_set>

namespace orvane {

std::string named_cache_folder(const std::string& component_id) {
  return "component-" + component_id;
}

bool owned_by_cache(const CacheDirEntry& entry) {
  return entry.is_dir && (entry.has_record || entry.unfinished);
}

namespace {

// True when `a` is a better choice than `b` for the same component.
bool newer(const CacheDirEntry& a, const CacheDirEntry& b) {
  if (a.created != b.created) return a.created > b.created;
  if (a.success_count != b.success_count) return a.success_count > b.success_count;
  const std::string named = named_cache_folder(a.component_id);
  const bool a_named = a.name == named, b_named = b.name == named;
  if (a_named != b_named) return a_named;
  return a.name < b.name;
}

}  // namespace

AdoptionPlan plan_adoption(const std::vector<CacheDirEntry>& entries,
                           const std::vector<std::string>& component_ids) {
  AdoptionPlan plan;
  std::unordered_set<std::string> known(component_ids.begin(), component_ids.end());
  // Best complete write per component, as an index into `entries`.
  std::unordered_map<std::string, std::size_t> best;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CacheDirEntry& e = entries[i];
    if (!e.is_dir || !e.has_record || known.count(e.component_id) == 0) continue;
    auto it = best.find(e.component_id);
    if (it == best.end() || newer(e, entries[it->second])) best[e.component_id] = i;
  }
  std::unordered_map<std::string, std::size_t> by_name;
  for (std::size_t i = 0; i < entries.size(); ++i) by_name.emplace(entries[i].name, i);

  std::vector<bool> used(entries.size(), false);
  for (const std::string& id : component_ids) {
    auto it = best.find(id);
    if (it != best.end()) {
      if (used[it->second]) continue;
      used[it->second] = true;
      plan.loads.push_back({id, entries[it->second].name});
      continue;
    }
    auto named = by_name.find(named_cache_folder(id));
    if (named != by_name.end() && !used[named->second] && !entries[named->second].has_record) {
      used[named->second] = true;
      plan.loads.push_back({id, named->first});
    }
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (used[i]) continue;
    if (owned_by_cache(entries[i])) {
      plan.removals.push_back(entries[i].name);
    } else {
      plan.kept.push_back(entries[i].name);
    }
  }
  return plan;
}

}  // namespace orvane
