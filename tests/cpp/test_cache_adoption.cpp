// Unit tests of the adoption plan for a directory of component caches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/cache_adoption.hpp"
#include "core/cache_folders.hpp"
#include "core/cache_format.hpp"
#include "temp_dir.hpp"

using orvane::CacheDirEntry;
using orvane::plan_adoption;

namespace {

CacheDirEntry write(const std::string& name, const std::string& id, std::int64_t count,
                    double created) {
  CacheDirEntry e;
  e.name = name;
  e.is_dir = true;
  e.has_record = true;
  e.complete = true;
  e.component_id = id;
  e.success_count = count;
  e.created = created;
  return e;
}

CacheDirEntry plain(const std::string& name, bool is_dir) {
  CacheDirEntry e;
  e.name = name;
  e.is_dir = is_dir;
  return e;
}

CacheDirEntry unfinished(const std::string& name) {
  CacheDirEntry e = plain(name, true);
  e.unfinished = true;
  return e;
}

bool contains(const std::vector<std::string>& v, const std::string& x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

}  // namespace

TEST(CacheAdoption, NewestWritePerComponentWinsAndOthersAreRemoved) {
  auto plan =
      plan_adoption({write("component-u1", "a", 3, 10.0), write("component-u2", "a", 1, 20.0),
                     write("component-u3", "b", 5, 5.0)},
                    {"a", "b"});
  ASSERT_EQ(plan.loads.size(), 2u);
  EXPECT_EQ(plan.loads[0].component_id, "a");
  EXPECT_EQ(plan.loads[0].entry_name, "component-u2");  // later write, despite the lower count
  EXPECT_EQ(plan.loads[1].entry_name, "component-u3");
  EXPECT_EQ(plan.removals, std::vector<std::string>{"component-u1"});
  EXPECT_TRUE(plan.kept.empty());
}

TEST(CacheAdoption, EarlierWritesAreOfferedNewestFirstWhenAskedFor) {
  auto plan =
      plan_adoption({write("component-u1", "a", 3, 10.0), write("component-u2", "a", 1, 20.0),
                     write("component-u4", "a", 2, 15.0), write("component-u3", "b", 5, 5.0),
                     write("component-u5", "gone", 1, 1.0), unfinished(".partial-component-u6")},
                    {"a", "b"}, true);
  ASSERT_EQ(plan.loads.size(), 2u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-u2");
  ASSERT_EQ(plan.earlier.size(), 2u);
  EXPECT_EQ(plan.earlier[0].entry_name, "component-u4");
  EXPECT_EQ(plan.earlier[1].entry_name, "component-u1");
  EXPECT_EQ(plan.removals, (std::vector<std::string>{"component-u5", ".partial-component-u6"}));
}

TEST(CacheAdoption, TieBreaksAreDeterministic) {
  struct Case {
    std::vector<CacheDirEntry> entries;
    std::string chosen;
  };
  const Case cases[] = {
      // Same time: the higher count wins.
      {{write("component-x", "a", 1, 7.0), write("component-y", "a", 2, 7.0)}, "component-y"},
      // Same time and count: the folder named after the component wins.
      {{write("component-x", "a", 2, 7.0), write("component-a", "a", 2, 7.0)}, "component-a"},
      // Otherwise name order.
      {{write("component-z", "a", 2, 7.0), write("component-y", "a", 2, 7.0)}, "component-y"},
  };
  for (const Case& c : cases) {
    auto plan = plan_adoption(c.entries, {"a"});
    ASSERT_EQ(plan.loads.size(), 1u);
    EXPECT_EQ(plan.loads[0].entry_name, c.chosen);
    EXPECT_EQ(plan.removals.size(), 1u);
  }
}

TEST(CacheAdoption, NamedFolderWithoutRecordIsStillOfferedToItsComponent) {
  // An unreadable folder named after a component is handed to it (the load then fails and the
  // component reports it) and is never deleted.
  auto plan = plan_adoption({plain("component-a", true)}, {"a"});
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-a");
  EXPECT_TRUE(plan.removals.empty());

  // A readable write takes precedence; the unreadable folder stays where it is.
  plan = plan_adoption({plain("component-a", true), write("component-u", "a", 1, 1.0)}, {"a"});
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-u");
  EXPECT_EQ(plan.kept, std::vector<std::string>{"component-a"});
}

TEST(CacheAdoption, IncompleteWritesNeverWinAndAreRemoved) {
  CacheDirEntry truncated = write("component-t", "a", 9, 99.0);
  truncated.complete = false;
  auto plan = plan_adoption({truncated, write("component-u", "a", 1, 1.0)}, {"a"});
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-u");
  EXPECT_EQ(plan.removals, std::vector<std::string>{"component-t"});

  // Alone, it is offered so that the component reports the failed load, then removed.
  plan = plan_adoption({truncated}, {"a"});
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-t");
  EXPECT_EQ(plan.removals, std::vector<std::string>{"component-t"});
}

TEST(CacheAdoption, NamedFolderHoldingAnotherComponentsWriteBelongsToThatComponent) {
  auto plan = plan_adoption({write("component-a", "b", 1, 1.0)}, {"a", "b"});
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].component_id, "b");
}

TEST(CacheAdoption, ForeignEntriesAreKeptAndOwnLeftoversRemoved) {
  auto plan =
      plan_adoption({plain("pipeline.json", false), plain("notes.txt", false),
                     plain("photos", true), plain("component-broken", true),
                     write("component-gone", "removed", 1, 1.0), unfinished(".component-tmp")},
                    {"a"});
  EXPECT_TRUE(plan.loads.empty());
  EXPECT_EQ(plan.kept,
            (std::vector<std::string>{"pipeline.json", "notes.txt", "photos", "component-broken"}));
  EXPECT_TRUE(contains(plan.removals, "component-gone"));
  EXPECT_TRUE(contains(plan.removals, ".component-tmp"));
  EXPECT_EQ(plan.removals.size(), 2u);
}

TEST(CacheAdoption, EmptyDirectoryAndEmptyGraph) {
  EXPECT_TRUE(plan_adoption({}, {"a", "b"}).loads.empty());
  auto plan = plan_adoption({write("component-u", "a", 1, 1.0)}, {});
  EXPECT_EQ(plan.removals, std::vector<std::string>{"component-u"});
}

TEST(CacheAdoption, OwnershipNeedsADirectory) {
  CacheDirEntry file = write("component-u", "a", 1, 1.0);
  file.is_dir = false;
  EXPECT_FALSE(orvane::owned_by_cache(file));
  EXPECT_TRUE(orvane::owned_by_cache(write("component-u", "a", 1, 1.0)));
  EXPECT_TRUE(orvane::owned_by_cache(unfinished("tmp")));
  EXPECT_FALSE(orvane::owned_by_cache(plain("component-a", true)));
}

TEST(CacheAdoption, LoadOnlyLeavesTheOtherComponentsWritesAlone) {
  CacheDirEntry truncated = write("component-t", "c", 1, 1.0);
  truncated.complete = false;
  const std::vector<CacheDirEntry> entries = {write("component-a", "a", 1, 1.0),
                                              write("component-a-old", "a", 1, 0.5),
                                              write("component-b", "b", 1, 1.0),
                                              write("component-b-old", "b", 1, 0.5),
                                              truncated,
                                              write("component-gone", "x", 1, 1.0)};
  const std::unordered_set<std::string> only = {"b"};
  auto plan = plan_adoption(entries, {"a", "b", "c"}, false, &only);
  ASSERT_EQ(plan.loads.size(), 1u);
  EXPECT_EQ(plan.loads[0].entry_name, "component-b");
  // The writes of a and c stay as they are; b's superseded and orphaned writes still go.
  EXPECT_EQ(plan.kept, (std::vector<std::string>{"component-a", "component-a-old", "component-t"}));
  EXPECT_EQ(plan.removals, (std::vector<std::string>{"component-b-old", "component-gone"}));
}

namespace {

void put_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

}  // namespace

TEST(CacheAdoption, EntriesAreDescribedFromTheirManifests) {
  const std::string dir = orvane::testing_support::make_temp_dir("describe");
  orvane::Manifest m;
  m.component_id = "a";
  m.success_count = 3;
  m.created = 12.5;
  m.has_created = true;
  orvane::BlobRecord lost;
  lost.name = "x";
  lost.kind = "output";
  lost.file = "output-0000.bin";
  lost.size = 10;
  for (const char* name : {"done", "broken", "plain", ".orvane-partial-x", "lost-blob"}) {
    ::mkdir((dir + "/" + name).c_str(), 0700);
  }
  put_file(dir + "/done/manifest.json", orvane::manifest_json(m));
  put_file(dir + "/.orvane-partial-x/manifest.json", orvane::manifest_json(m));
  put_file(dir + "/broken/manifest.json", "{");
  m.blobs = {lost};
  put_file(dir + "/lost-blob/manifest.json", orvane::manifest_json(m));
  put_file(dir + "/file", "x");
  ::symlink((dir + "/done").c_str(), (dir + "/link").c_str());
  struct Row {
    const char* name;
    bool is_dir, has_record, complete;
  } rows[] = {{"done", true, true, true},
              {"lost-blob", true, true, false},
              {"broken", true, false, false},
              {"plain", true, false, false},
              {"file", false, false, false},
              {"link", false, false, false},
              {".orvane-partial-x", true, false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const CacheDirEntry e = orvane::describe_cache_entry(dir, row.name);
    EXPECT_EQ(e.is_dir, row.is_dir);
    EXPECT_EQ(e.has_record, row.has_record);
    EXPECT_EQ(e.complete, row.complete);
    EXPECT_EQ(orvane::has_cache_record(dir + "/" + row.name + "/"), row.has_record);
    if (row.has_record) {
      EXPECT_TRUE(e.component_id == "a" && e.success_count == 3 && e.created == 12.5);
    }
  }
}

TEST(CacheAdoption, CandidatesArePlannedWriteThenEarlierNewestFirst) {
  const std::vector<CacheDirEntry> entries{
      write("component-u1", "a", 3, 10.0), write("component-u2", "a", 1, 20.0),
      write("component-u4", "a", 2, 15.0), write("component-u3", "b", 5, 5.0)};
  auto plan = plan_adoption(entries, {"a", "b"}, true);
  std::vector<std::string> names;
  for (const CacheDirEntry* e : orvane::adoption_candidates(entries, plan, plan.loads[0])) {
    names.push_back(e->name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"component-u2", "component-u4", "component-u1"}));
  EXPECT_EQ(orvane::adoption_candidates(entries, plan, plan.loads[1]).size(), 1u);
}

TEST(CacheAdoption, EachCandidateIsLoadedSetAsideRemovedOrKept) {
  using orvane::CandidateFate;
  struct Case {
    bool adopted, stale, keep_earlier, records, ours;
    CandidateFate fate;
  } cases[] = {
      {false, false, false, false, true, CandidateFate::Load},
      {false, false, true, true, false, CandidateFate::Load},
      {false, true, true, true, true, CandidateFate::SetAside},
      {true, true, true, true, true, CandidateFate::SetAside},
      {false, true, true, false, true, CandidateFate::Remove},  // records no fingerprint
      {false, true, false, true, true, CandidateFate::Remove},  // earlier writes not kept
      {true, false, true, true, true, CandidateFate::Remove},   // superseded by the loaded one
      {true, false, true, true, false, CandidateFate::Keep},    // not ours: never deleted
      {false, true, false, true, false, CandidateFate::Keep},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(orvane::candidate_fate(c.adopted, c.stale, c.keep_earlier, c.records, c.ours), c.fate)
        << c.adopted << c.stale << c.keep_earlier << c.records << c.ours;
  }
}

TEST(CacheAdoption, AHeldFolderIsNeverDeletedFromUnderItsComponent) {
  const std::vector<CacheDirEntry> entries{write("component-u1", "a", 1, 10.0),
                                           write("component-u2", "a", 2, 20.0),
                                           unfinished(".partial-component-u3")};
  auto plan = plan_adoption(entries, {"a"});
  ASSERT_EQ(plan.removals.size(), 2u);
  auto removed = orvane::removals_to_delete(entries, plan, "/c/", {"", "/c/./component-u1/"});
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0]->name, ".partial-component-u3");
  EXPECT_EQ(orvane::removals_to_delete(entries, plan, "/c", {}).size(), 2u);
}

TEST(CacheAdoption, OnlyFoldersOfThisProductAreDeleted) {
  const std::string dir = orvane::testing_support::make_temp_dir("discard");
  orvane::Manifest m;
  m.component_id = "a";
  for (const char* name : {"done", "broken", "plain", ".orvane-partial-x"}) {
    ::mkdir((dir + "/" + name).c_str(), 0700);
  }
  put_file(dir + "/done/manifest.json", orvane::manifest_json(m));
  put_file(dir + "/broken/manifest.json", "{");
  ::mkdir((dir + "/kept").c_str(), 0700);
  put_file(dir + "/kept/manifest.json", orvane::manifest_json(m));
  ::symlink((dir + "/kept").c_str(), (dir + "/link").c_str());
  struct Row {
    const char* name;
    bool stays;
  } rows[] = {
      {"done", false}, {"broken", true}, {"plain", true}, {"link", true}, {"missing", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    orvane::discard_cache(dir + "/" + row.name);
    EXPECT_EQ(orvane::inspect(dir + "/" + row.name).exists, row.stays);
  }
  EXPECT_TRUE(orvane::has_cache_record(dir + "/kept"));
  // An unfinished write has no record: the caller that recognised it removes it.
  orvane::remove_owned(dir + "/.orvane-partial-x", false);
  EXPECT_FALSE(orvane::inspect(dir + "/.orvane-partial-x").exists);
}

TEST(CacheAdoption, OfferedWritesAreLoadedSetAsideRemovedOrKept) {
  using orvane::model::Cause;
  using orvane::model::Reason;
  struct Case {
    std::size_t kept_versions;
    bool readable;
    std::vector<std::string> left;  // folders still there afterwards
    bool set_aside;                 // "old" set aside for its fingerprint
  } cases[] = {{1, true, {"cur", "old", "user"}, true},
               {0, true, {"cur", "user"}, false},
               {0, false, {"user"}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kept_versions * 2 + c.readable);
    const std::string dir = orvane::testing_support::make_temp_dir("offered");
    // Newest first: a current write, a stale one that records its fingerprint, a stale one
    // that records none, and a user's stale folder that is not ours.
    std::vector<CacheDirEntry> entries;
    for (const char* name : {"cur", "old", "older", "user"}) {
      ::mkdir((dir + "/" + name).c_str(), 0700);
      entries.push_back(std::string(name) == "user" ? plain(name, true) : write(name, "a", 1, 0));
    }
    std::vector<const CacheDirEntry*> offered;
    for (const CacheDirEntry& e : entries) offered.push_back(&e);
    orvane::model::SetAside paused;
    std::vector<std::string> loaded;
    const orvane::Adopted done = orvane::adopt_candidates(
        dir, offered, "a", paused, c.kept_versions,
        [&](const std::string& path, std::string& recorded) -> std::optional<Reason> {
          const std::string name = path.substr(dir.size() + 1);
          if (name == "cur") return std::nullopt;
          recorded = name == "old" ? "f-old" : "";
          return Reason{name == "old" ? Cause::CodeChanged : Cause::ParentsChanged, {}, {}};
        },
        [&](const std::string& path) {
          loaded.push_back(path);
          return c.readable;
        });
    EXPECT_EQ(loaded, std::vector<std::string>{dir + "/cur"});
    EXPECT_TRUE(done.tried);
    ASSERT_TRUE(done.first_stale);
    EXPECT_EQ(done.first_stale->cause, Cause::CodeChanged);
    EXPECT_EQ(done.unreadable.size(), c.readable ? 0u : 1u);
    EXPECT_EQ(paused.holds("a", "f-old"), c.set_aside);
    std::vector<std::string> left;
    for (const char* name : {"cur", "old", "older", "user"}) {
      if (orvane::inspect(dir + "/" + name).exists) left.push_back(name);
    }
    EXPECT_EQ(left, c.left);
  }
}

TEST(CacheAdoption, CleanUpLeavesTheDirectoryOnlyWhenSomethingElseIsInIt) {
  for (const bool user_file : {false, true}) {
    SCOPED_TRACE(user_file);
    const std::string dir = orvane::testing_support::make_temp_dir("clean-up");
    orvane::Manifest m;
    m.component_id = "a";
    ::mkdir((dir + "/done").c_str(), 0700);
    put_file(dir + "/done/manifest.json", orvane::manifest_json(m));
    put_file(dir + "/pipeline.json", "{}");
    if (user_file) put_file(dir + "/notes.txt", "mine");
    std::vector<CacheDirEntry> entries;
    for (const char* name : {"done", "pipeline.json", "notes.txt"}) {
      entries.push_back(orvane::describe_cache_entry(dir, name));
    }
    orvane::remove_owned_entries(dir, entries, "pipeline.json");
    EXPECT_FALSE(orvane::inspect(dir + "/done").exists);
    EXPECT_EQ(orvane::inspect(dir).exists, user_file);
    EXPECT_EQ(orvane::inspect(dir + "/notes.txt").exists, user_file);
  }
}
