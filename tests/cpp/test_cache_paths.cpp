// Unit tests of the cache tree's rules: identifier names, private directories, links, locks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/cache_fingerprint.hpp"
#include "core/cache_paths.hpp"
#include "core/dir_lock.hpp"
#include "temp_dir.hpp"

using namespace orvane;

namespace {

std::string temp_dir() { return testing_support::make_temp_dir("cache-paths"); }

unsigned mode_of(const std::string& path) {
  struct stat info;
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

int count_entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Runs `body` in a forked child and returns its exit status.
template <class F>
int in_child(F body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

}  // namespace

TEST(CachePaths, IdentifierRules) {
  struct Case {
    std::string id;
    const char* rule;  // nullptr: accepted
  } cases[] = {
      {"plain-id", nullptr},
      {"..", nullptr},  // "pipeline-.." is an ordinary name
      {std::string(kMaxIdentifierBytes, 'x'), nullptr},
      {"", "empty"},
      {"x/../../elsewhere", "'/'"},
      {std::string("a\0b", 3), "NUL"},
      {std::string(300, 'x'), "at most 200 bytes"},
  };
  for (const Case& c : cases) {
    if (c.rule == nullptr) {
      EXPECT_EQ(pipeline_folder_name(c.id), "pipeline-" + c.id);
      continue;
    }
    try {
      pipeline_folder_name(c.id);
      ADD_FAILURE() << "accepted: " << c.id;
    } catch (const IdentifierError& e) {
      EXPECT_NE(std::string(e.what()).find(c.rule), std::string::npos) << e.what();
    }
  }
}

TEST(CachePaths, RootIsCreatedPrivateAndNeverRepaired) {
  const std::string base = temp_dir();
  const mode_t old_mask = ::umask(0);
  DirFd made = open_root(base + "/a/b/root", false);
  EXPECT_EQ(mode_of(base + "/a/b/root"), 0700u);
  EXPECT_EQ(mode_of(base + "/a"), 0700u);
  ::umask(old_mask);

  struct Case {
    const char* name;
    unsigned mode;
    bool link;
    bool allow_link;
    const char* refusal;  // nullptr: accepted
  } cases[] = {
      {"shared", 0777, false, false, "group or others may write"},
      {"group", 0770, false, false, "group or others may write"},
      {"readable", 0755, false, false, nullptr},
      {"link", 0700, true, false, "symbolic link"},
      {"chosen-link", 0700, true, true, nullptr},
  };
  for (const Case& c : cases) {
    std::string path = base + "/" + c.name;
    std::string real = c.link ? path + "-target" : path;
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ::chmod(real.c_str(), c.mode);
    if (c.link) {
      ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
    }
    try {
      open_root(path, c.allow_link);
      EXPECT_EQ(c.refusal, nullptr) << c.name;
    } catch (const UnsafeDirectoryError& e) {
      ASSERT_NE(c.refusal, nullptr) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
    EXPECT_EQ(mode_of(real), c.mode) << c.name;  // never chmod'ed
  }
}

TEST(CachePaths, ChildrenArePrivateRealDirectories) {
  const std::string base = temp_dir();
  DirFd root = open_root(base, false);
  const mode_t old_mask = ::umask(0);
  bool created = false;
  open_private_child(root, "fresh", true, &created);
  ::umask(old_mask);
  EXPECT_TRUE(created);
  EXPECT_EQ(mode_of(base + "/fresh"), 0700u);

  // One of ours that others may only read (as older builds made them) is closed and used.
  ::mkdir((base + "/readable").c_str(), 0755);
  ::chmod((base + "/readable").c_str(), 0755);
  open_private_child(root, "readable", false);
  EXPECT_EQ(mode_of(base + "/readable"), 0700u);

  ::mkdir((base + "/open").c_str(), 0775);
  ::chmod((base + "/open").c_str(), 0775);
  ::mkdir((base + "/elsewhere").c_str(), 0700);
  ::symlink((base + "/elsewhere").c_str(), (base + "/link").c_str());
  write_file(base + "/file", "x");
  struct Case {
    const char* name;
    const char* refusal;
  } cases[] = {{"open", "chmod go-w '"},
               {"link", "symbolic link"},
               {"file", "not a directory"},
               {"missing", "No such file"}};
  for (const Case& c : cases) {
    try {
      open_private_child(root, c.name, false);
      ADD_FAILURE() << "accepted: " << c.name;
    } catch (const UnsafeDirectoryError& e) {
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
  }
}

TEST(CachePaths, RemovalAndCopiesNeverFollowLinks) {
  const std::string base = temp_dir();
  ::mkdir((base + "/outside").c_str(), 0700);
  write_file(base + "/outside/precious", "keep");
  ::mkdir((base + "/src").c_str(), 0700);
  // A finished cache, a folder without a manifest, a linked folder, an unfinished write.
  ::mkdir((base + "/src/component-a").c_str(), 0700);
  write_file(base + "/src/component-a/manifest.json", "{}");
  write_file(base + "/src/component-a/meta.bin", "m");
  ::symlink((base + "/outside/precious").c_str(), (base + "/src/component-a/stolen").c_str());
  ::mkdir((base + "/src/foreign").c_str(), 0700);
  ::symlink((base + "/outside").c_str(), (base + "/src/component-link").c_str());
  ::mkdir((base + "/src/.partial-x").c_str(), 0700);
  write_file(base + "/src/.partial-x/manifest.json", "{}");
  ::mkdir((base + "/dst").c_str(), 0700);

  DirFd root = open_root(base, false);
  DirFd src = open_private_child(root, "src", false);
  DirFd dst = open_private_child(root, "dst", false);
  EXPECT_EQ(link_cache_folders(src, dst, "manifest.json"), std::vector<std::string>{"component-a"});
  struct stat a, b;
  ASSERT_EQ(::stat((base + "/src/component-a/meta.bin").c_str(), &a), 0);
  ASSERT_EQ(::stat((base + "/dst/component-a/meta.bin").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_NE(::access((base + "/dst/component-a/stolen").c_str(), F_OK), 0);

  EXPECT_TRUE(remove_tree_at(root, "src"));
  EXPECT_NE(::access((base + "/src").c_str(), F_OK), 0);
  EXPECT_EQ(::access((base + "/outside/precious").c_str(), F_OK), 0);
}

TEST(DirLock, OneProcessOwnsAndACopyGoesToTheOther) {
  const std::string base = temp_dir();
  PipelineDirectory first = claim_pipeline_directory(base, "p", false, "manifest.json");
  EXPECT_EQ(first.path, base + "/pipelines/pipeline-p");
  EXPECT_FALSE(first.existed);
  EXPECT_EQ(first.copied_from, 0);
  // Again in the same process: the same directory, now with something to adopt.
  EXPECT_TRUE(claim_pipeline_directory(base, "p", false, "manifest.json").existed);
  ::mkdir((first.path + "/component-a").c_str(), 0700);
  write_file(first.path + "/component-a/manifest.json", "{}");

  const pid_t parent = ::getpid();
  // A forked child does not hold its parent's lock: it gets a copy of the finished caches.
  EXPECT_EQ(in_child([&] {
              PipelineDirectory copy = claim_pipeline_directory(base, "p", false, "manifest.json");
              const std::string expected =
                  base + "/copies/pipeline-p." + std::to_string(::getpid());
              bool ok = copy.path == expected && copy.copied_from == parent && copy.existed &&
                        ::access((expected + "/component-a/manifest.json").c_str(), F_OK) == 0;
              return ok ? 0 : 1;
            }),
            0);
  release_dir_lock(first.lock_path);
  EXPECT_EQ(in_child([&] {
              PipelineDirectory now = claim_pipeline_directory(base, "p", false, "manifest.json");
              return now.copied_from == 0 && now.path == first.path ? 0 : 1;
            }),
            0);
  // A copy left by a kernel that died is removed by the next kernel that needs one.
  claim_pipeline_directory(base, "p", false, "manifest.json");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(in_child([&] {
                claim_pipeline_directory(base, "p", false, "manifest.json");
                return count_entries(base + "/copies") == 1 ? 0 : 1;
              }),
              0);
  }
  // A root that cannot be used is refused with the way out.
  write_file(base + "/file", "x");
  try {
    claim_pipeline_directory(base + "/file", "p", false, "manifest.json");
    ADD_FAILURE() << "accepted a file as the root";
  } catch (const UnsafeDirectoryError& e) {
    EXPECT_NE(std::string(e.what()).find("Set ORVANE_TEMP_DIR"), std::string::npos) << e.what();
  }
}

TEST(CachePaths, UnsafePathsAreNamed) {
  const std::string base = temp_dir();
  struct Case {
    const char* dir;
    unsigned dir_mode;
    unsigned parent_mode;
    const char* problem;  // nullptr: safe
  } cases[] = {
      {"safe", 0700, 0755, nullptr},
      {"sticky", 0700, 01777, nullptr},
      {"open-parent", 0700, 0777, "which other users can change"},
      {"open-dir", 0777, 0755, "group or others may write it"},
  };
  for (const Case& c : cases) {
    const std::string parent = base + "/" + c.dir;
    const std::string dir = parent + "/cache";
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    ::chmod(parent.c_str(), c.parent_mode);
    ::chmod(dir.c_str(), c.dir_mode);
    const std::string problem = unsafe_path_problem(dir);
    if (c.problem == nullptr) {
      EXPECT_EQ(problem, "") << c.dir;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.dir << ": " << problem;
    }
  }
  EXPECT_EQ(unsafe_path_problem(base + "/missing"), "");
}

TEST(CacheFingerprint, ChangesWithEveryInput) {
  const std::string base = cache_fingerprint("x = 1", "{}", {"p1"});
  EXPECT_EQ(base.size(), 16u);
  EXPECT_EQ(base, cache_fingerprint("x = 1", "{}", {"p1"}));
  for (const std::string& other :
       {cache_fingerprint("x = 2", "{}", {"p1"}), cache_fingerprint("x = 1", "{'n': 1}", {"p1"}),
        cache_fingerprint("x = 1", "{}", {"p2"}), cache_fingerprint("x = 1", "{}", {}),
        cache_fingerprint("x = 1{", "}", {"p1"})}) {
    EXPECT_NE(other, base);
  }
}
