// Adoption planning for a directory of component caches; see cache_adoption.hpp.
#include "core/cache_adoption.hpp"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "core/cache_folders.hpp"
#include "core/cache_format.hpp"
#include "core/cache_paths.hpp"

namespace orvane {

std::string named_cache_folder(const std::string& component_id) {
  return "component-" + component_id;
}

namespace {

// The entry of that name; plans name only entries they were made from.
const CacheDirEntry* named(const std::vector<CacheDirEntry>& entries, const std::string& name) {
  return &*std::find_if(entries.begin(), entries.end(),
                        [&name](const CacheDirEntry& e) { return e.name == name; });
}

}  // namespace

std::vector<const CacheDirEntry*> adoption_candidates(const std::vector<CacheDirEntry>& entries,
                                                      const AdoptionPlan& plan,
                                                      const CacheLoad& load) {
  std::vector<const CacheDirEntry*> out{named(entries, load.entry_name)};
  for (const CacheLoad& earlier : plan.earlier) {
    if (earlier.component_id == load.component_id) {
      out.push_back(named(entries, earlier.entry_name));
    }
  }
  return out;
}

std::vector<const CacheDirEntry*> removals_to_delete(const std::vector<CacheDirEntry>& entries,
                                                     const AdoptionPlan& plan,
                                                     const std::string& dir,
                                                     const std::vector<std::string>& held) {
  std::set<std::string> kept;
  for (const std::string& folder : held) {
    if (!folder.empty()) kept.insert(absolute_path(folder));
  }
  std::vector<const CacheDirEntry*> out;
  for (const std::string& name : plan.removals) {
    if (kept.count(absolute_path(join_path(dir, name))) == 0) out.push_back(named(entries, name));
  }
  return out;
}

CandidateFate candidate_fate(bool adopted_already, bool stale, bool keep_earlier,
                             bool records_fingerprint, bool ours) {
  if (!adopted_already && !stale) return CandidateFate::Load;
  if (stale && keep_earlier && records_fingerprint) return CandidateFate::SetAside;
  return ours ? CandidateFate::Remove : CandidateFate::Keep;
}

Adopted adopt_candidates(
    const std::string& dir, const std::vector<const CacheDirEntry*>& candidates,
    const std::string& id, model::SetAside& paused, std::size_t kept_versions,
    const std::function<std::optional<model::Reason>(const std::string&, std::string&)>& stale,
    const std::function<bool(const std::string&)>& load) {
  Adopted out;
  std::vector<model::SetAside::Entry> spare;  // newest first
  for (const CacheDirEntry* entry : candidates) {
    const std::string path = join_path(dir, entry->name);
    std::string recorded;
    const std::optional<model::Reason> why = stale(path, recorded);
    if (why && !out.first_stale) out.first_stale = why;
    const bool ours = owned_by_cache(*entry);
    switch (
        candidate_fate(out.tried, why.has_value(), kept_versions > 0, !recorded.empty(), ours)) {
      case CandidateFate::SetAside:
        spare.push_back({absolute_path(path), recorded});
        continue;
      case CandidateFate::Remove:
        remove_owned(path, entry->has_record);
        continue;
      case CandidateFate::Keep:
        continue;
      case CandidateFate::Load:
        break;
    }
    out.tried = true;
    if (load(path)) continue;
    if (ours) remove_owned(path, entry->has_record);
    out.unreadable.push_back(path);
  }
  for (auto it = spare.rbegin(); it != spare.rend(); ++it) {
    for (const std::string& folder : paused.add(id, *it, kept_versions)) discard_cache(folder);
  }
  return out;
}

bool owned_by_cache(const CacheDirEntry& entry) {
  return entry.is_dir && (entry.has_record || entry.unfinished);
}

CacheDirEntry describe_cache_entry(const std::string& dir, const std::string& name) {
  const std::string path = join_path(dir, name);
  const EntryKind kind = inspect(path);
  CacheDirEntry entry;
  entry.name = name;
  entry.is_dir = kind.is_dir;
  if (!entry.is_dir) return entry;
  if (name.rfind(kPartialPrefix, 0) != 0) {
    try {
      const Manifest manifest = read_manifest(path);
      entry.complete = find_missing_or_truncated(path, manifest).empty();
      entry.component_id = manifest.component_id;
      entry.success_count = manifest.success_count;
      entry.created = manifest.has_created ? manifest.created : kind.mtime;
      entry.has_record = true;
    } catch (const std::exception&) {
      entry.complete = false;  // no record: a foreign or damaged folder
    }
  }
  // Recognised by the writer's naming and contents, not by a name prefix alone: a user's folder
  // that happens to look like a temporary one is never deleted.
  entry.unfinished = !entry.has_record && is_product_cache_folder(dir, name, kPartialPrefix);
  return entry;
}

bool has_cache_record(const std::string& path) {
  const std::size_t slash = path.find_last_not_of('/');
  const std::string trimmed = path.substr(0, slash == std::string::npos ? 0 : slash + 1);
  if (trimmed.substr(trimmed.rfind('/') + 1).rfind(kPartialPrefix, 0) == 0) return false;
  try {
    read_manifest(trimmed);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void remove_owned(const std::string& path, bool has_record) {
  if (has_record && inspect(path).is_dir) ::unlink(join_path(path, kManifestName).c_str());
  remove_directory(path);
}

void discard_cache(const std::string& path) {
  if (!path.empty() && has_cache_record(path)) remove_owned(path, true);
}

void remove_owned_entries(const std::string& dir, const std::vector<CacheDirEntry>& entries,
                          const std::string& only_file) {
  for (const CacheDirEntry& entry : entries) {
    if (owned_by_cache(entry)) remove_owned(join_path(dir, entry.name), entry.has_record);
  }
  remove_if_left_empty(dir, only_file);
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
                           const std::vector<std::string>& component_ids, bool keep_earlier,
                           const std::unordered_set<std::string>* load_only) {
  AdoptionPlan plan;
  std::unordered_set<std::string> known(component_ids.begin(), component_ids.end());
  // Best write per component, as an index into `entries`: a complete one beats any incomplete.
  std::unordered_map<std::string, std::size_t> best;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CacheDirEntry& e = entries[i];
    if (!e.is_dir || !e.has_record || known.count(e.component_id) == 0) continue;
    auto it = best.find(e.component_id);
    if (it == best.end()) {
      best[e.component_id] = i;
      continue;
    }
    const CacheDirEntry& b = entries[it->second];
    if ((e.complete && !b.complete) || (e.complete == b.complete && newer(e, b))) {
      it->second = i;
    }
  }
  std::unordered_map<std::string, std::size_t> by_name;
  for (std::size_t i = 0; i < entries.size(); ++i) by_name.emplace(entries[i].name, i);

  auto loads = [load_only](const std::string& id) {
    return load_only == nullptr || load_only->count(id) != 0;
  };
  std::vector<bool> loaded(entries.size(), false);
  // The writes of components that do not load this time: left as they are.
  std::vector<bool> spared(entries.size(), false);
  for (const std::string& id : component_ids) {
    auto it = best.find(id);
    if (it != best.end()) {
      if (loaded[it->second]) continue;
      loaded[it->second] = true;
      if (loads(id)) plan.loads.push_back({id, entries[it->second].name});
      continue;
    }
    auto named = by_name.find(named_cache_folder(id));
    // Only a real directory: a link named like a cache folder is never followed.
    if (named != by_name.end() && !loaded[named->second] && entries[named->second].is_dir &&
        !entries[named->second].has_record) {
      loaded[named->second] = true;
      spared[named->second] = !loads(id);
      if (loads(id)) plan.loads.push_back({id, named->first});
    }
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CacheDirEntry& e = entries[i];
    if (e.is_dir && e.has_record && known.count(e.component_id) != 0 && !loads(e.component_id)) {
      spared[i] = true;
    }
  }
  std::vector<std::size_t> earlier;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CacheDirEntry& e = entries[i];
    if (spared[i]) {
      plan.kept.push_back(e.name);
    } else if (owned_by_cache(e)) {
      if (keep_earlier && !loaded[i] && e.complete && e.has_record &&
          best.count(e.component_id) != 0) {
        earlier.push_back(i);
      } else if (!loaded[i] || !e.complete) {
        plan.removals.push_back(e.name);
      }
    } else if (!loaded[i]) {
      plan.kept.push_back(e.name);
    }
  }
  std::sort(earlier.begin(), earlier.end(), [&](std::size_t a, std::size_t b) {
    if (entries[a].component_id != entries[b].component_id) {
      return entries[a].component_id < entries[b].component_id;
    }
    return newer(entries[a], entries[b]);
  });
  for (std::size_t i : earlier) plan.earlier.push_back({entries[i].component_id, entries[i].name});
  return plan;
}

}  // namespace orvane
