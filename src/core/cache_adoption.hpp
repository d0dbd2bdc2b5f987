// Decides what adopting a directory of component caches loads, removes and leaves alone.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/pipeline_model.hpp"

namespace orvane {

// One entry found in a cache directory, as the caller observed it.
struct CacheDirEntry {
  std::string name;
  bool is_dir = false;
  // True when the entry is a cache directory written by this product; the fields below are then
  // read from its record.
  bool has_record = false;
  // Every file its record lists is present with its size: only such a cache can load.
  bool complete = false;
  std::string component_id;
  std::int64_t success_count = 0;
  // Creation time of the write (seconds); later writes win over higher counts because counts
  // restart at zero in every new pipeline object.
  double created = 0.0;
  // A folder of this product that cannot load: a write that never finished, or a cache whose
  // manifest is missing or damaged (an interrupted clean-up).
  bool unfinished = false;
};

struct CacheLoad {
  std::string component_id;
  std::string entry_name;
};

struct AdoptionPlan {
  // At most one per component, in the order of the component list.
  std::vector<CacheLoad> loads;
  // Entries that are provably this product's and no longer needed: superseded or incomplete
  // writes, writes of components that no longer exist, unfinished writes. May name an entry of
  // `loads` that cannot load.
  std::vector<std::string> removals;
  // Everything else, in listing order; never touched.
  std::vector<std::string> kept;
  // Asked to keep earlier writes: the other complete writes of the components in `loads`,
  // newest first per component, instead of removals (a caller keeps those it can use).
  std::vector<CacheLoad> earlier;
};

// The folder name under which a component's cache is kept by name rather than by record.
std::string named_cache_folder(const std::string& component_id);

// For each component the newest complete write that belongs to it is loaded (newest creation
// time, then highest success count, then the folder named after the component, then name order);
// its other writes are removed. A component with only incomplete writes is offered the newest of
// them, so that it reports a failed load, and they are removed afterwards. A component with no
// write of its own loads its "component-<id>" entry when there is one, so that an unreadable
// entry shows up as a failed load instead of vanishing. Entries without a record are never
// removed unless they are unfinished writes.
//
// With `load_only`, only the components it names load; the writes of the other components are
// neither loaded nor removed but kept (a component that holds its cache already keeps it as it
// is), while the rest of the plan stays the same.
AdoptionPlan plan_adoption(const std::vector<CacheDirEntry>& entries,
                           const std::vector<std::string>& component_ids, bool keep_earlier = false,
                           const std::unordered_set<std::string>* load_only = nullptr);

// The writes a component of `plan.loads` is offered, in the order they are tried: its planned
// write, then its earlier ones newest first. Every name is one of `entries`.
std::vector<const CacheDirEntry*> adoption_candidates(const std::vector<CacheDirEntry>& entries,
                                                      const AdoptionPlan& plan,
                                                      const CacheLoad& load);

// The entries of `plan.removals` to delete now: a folder a component holds (`held`, each as the
// component names it, empty text for none; spellings of one folder compare equal) is never
// deleted from under it.
std::vector<const CacheDirEntry*> removals_to_delete(const std::vector<CacheDirEntry>& entries,
                                                     const AdoptionPlan& plan,
                                                     const std::string& dir,
                                                     const std::vector<std::string>& held);

// What adopting does with one candidate write of a component: the first that is current
// loads; one computed from other inputs is set aside when earlier writes are kept and it
// records what it was computed from, otherwise it goes if it is ours. Ours and superseded by a
// write already loaded: it goes too; anything else stays.
enum class CandidateFate { Load, SetAside, Remove, Keep };
CandidateFate candidate_fate(bool adopted_already, bool stale, bool keep_earlier,
                             bool records_fingerprint, bool ours);

// What adopting the writes offered to one component came to.
struct Adopted {
  bool tried = false;                        // the first current write was loaded, or tried
  std::optional<model::Reason> first_stale;  // why the first stale write is stale
  std::vector<std::string> unreadable;       // folders of current writes that failed to load
};

// Carries out the fate of each write offered to component `id` (adoption_candidates), in order.
// `stale` says why the write in a folder is stale, if it is, and gives the fingerprint it
// records; the first current one goes to `load` (false: unreadable; it goes too if it is ours).
// Stale writes that record a fingerprint are set aside in `paused` when `kept_versions` asks
// for earlier ones, oldest first so that a later adoption of the directory finds them again (the
// folders that pushes out are deleted); the others go if they are ours, or stay.
Adopted adopt_candidates(
    const std::string& dir, const std::vector<const CacheDirEntry*>& candidates,
    const std::string& id, model::SetAside& paused, std::size_t kept_versions,
    const std::function<std::optional<model::Reason>(const std::string&, std::string&)>& stale,
    const std::function<bool(const std::string&)>& load);

// Describes the entry `name` of the directory `dir`, reading a cache's record from its manifest.
// A link is never a directory of ours, so nothing outside `dir` is reached through one; a
// manifest that cannot be read leaves the entry without a record.
CacheDirEntry describe_cache_entry(const std::string& dir, const std::string& name);

// True when `path` is a finished cache directory of this product (its manifest reads).
bool has_cache_record(const std::string& path);

// Names that a cache clean-up may delete: complete writes of this product and unfinished writes.
bool owned_by_cache(const CacheDirEntry& entry);

// Deletes the folder `path` of this product: a complete write when `has_record` (its manifest
// goes first, so that a clean-up interrupted here never leaves a folder that loads as a cache),
// else an unfinished one. Errors are ignored.
void remove_owned(const std::string& path, bool has_record);

// Deletes `path` when it is a finished cache of this product (its manifest reads), nothing else.
void discard_cache(const std::string& path);

// The clean-up of a pipeline's directory `dir` listed as `entries`: the entries that are caches'
// own go (owned_by_cache), then `dir` itself if nothing but the file `only_file` is left in it.
// Anything else a user put there stays, and with it the directory.
void remove_owned_entries(const std::string& dir, const std::vector<CacheDirEntry>& entries,
                          const std::string& only_file);

}  // namespace orvane
