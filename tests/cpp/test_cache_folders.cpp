// Unit tests of the plain file work on cache folders: paths, listing, removal without links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <set>
#include <string>

#include "core/cache_folders.hpp"
#include "core/cache_paths.hpp"  // is_product_cache_folder
#include "temp_dir.hpp"

using namespace orvane;

namespace {

std::string temp_dir() { return testing_support::make_temp_dir("cache-folders"); }

void write_file(const std::string& path) { std::ofstream(path) << "x"; }

bool exists(const std::string& path) { return inspect(path).exists; }

}  // namespace

TEST(CacheFolders, AbsolutePathIsLexical) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/b", "/a/b"}, {"/a/b/", "/a/b"}, {"/a//b/./c", "/a/b/c"}, {"/a/b/../c", "/a/c"},
      {"/../a", "/a"},  {"/", "/"},        {"/a/b/..", "/a"},
  };
  for (const Case& c : cases) EXPECT_EQ(absolute_path(c.in), c.out) << c.in;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(absolute_path("x/./y"), absolute_path(std::string(cwd) + "/x/y"));
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
}

TEST(CacheFolders, ListingAndInspection) {
  const std::string dir = temp_dir();
  write_file(dir + "/file");
  ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((dir + "/sub").c_str(), (dir + "/link").c_str()), 0);
  std::vector<std::string> names = list_directory(dir);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"file", "sub", "link"}));
  EXPECT_TRUE(inspect(dir + "/file").is_file);
  EXPECT_TRUE(inspect(dir + "/sub").is_dir);
  EXPECT_FALSE(inspect(dir + "/link").is_dir);
  EXPECT_TRUE(inspect(dir + "/link", true).is_dir);
  EXPECT_FALSE(exists(dir + "/missing"));
  for (const auto& [path, err] :
       {std::pair<std::string, int>{dir + "/missing", ENOENT}, {dir + "/file", ENOTDIR}}) {
    try {
      list_directory(path);
      ADD_FAILURE() << path;
    } catch (const FileError& e) {
      EXPECT_EQ(e.err, err);
      EXPECT_EQ(e.path, path);
    }
  }
  remove_directory(dir);
}

TEST(CacheFolders, RemovalNeverFollowsLinks) {
  const std::string dir = temp_dir();
  const std::string outside = dir + "/outside";
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  write_file(outside + "/keep");
  const std::string tree = dir + "/tree";
  ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((tree + "/inner").c_str(), 0700), 0);
  write_file(tree + "/inner/f.bin");
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/escape").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (dir + "/alias").c_str()), 0);

  // A link as the target itself is left alone, and so is a plain file.
  EXPECT_FALSE(remove_directory(dir + "/alias"));
  EXPECT_TRUE(exists(dir + "/alias"));
  EXPECT_FALSE(remove_directory(outside + "/keep"));
  // A tree goes with the links inside it, but not what they point at.
  EXPECT_TRUE(remove_directory(tree + "/"));
  EXPECT_FALSE(exists(tree));
  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_TRUE(remove_directory(dir + "/never-there"));
  remove_directory(dir);
}

TEST(CacheFolders, EmptiedDirectoryGoesOnlyWhenNothingElseIsLeft) {
  struct Case {
    std::vector<std::string> files;
    bool linked_layout;
    bool removed;
  } cases[] = {
      {{}, false, true},
      {{"pipeline.json"}, false, true},
      {{}, true, false},  // a link named like the layout file is not the layout file
      {{"pipeline.json", "user.txt"}, false, false},
      {{"user.txt"}, false, false},
  };
  for (const Case& c : cases) {
    const std::string dir = temp_dir();
    for (const std::string& f : c.files) write_file(dir + "/" + f);
    if (c.linked_layout) {
      ASSERT_EQ(::symlink("/etc/hostname", (dir + "/pipeline.json").c_str()), 0);
    }
    remove_if_left_empty(dir, "pipeline.json");
    EXPECT_EQ(!exists(dir), c.removed) << c.files.size() << c.linked_layout;
    if (exists(dir)) {
      remove_directory(dir);
    }
  }
}

TEST(CacheFolders, RandomUuidsNameWriterFolders) {
  std::set<std::string> seen;
  const std::string dir = temp_dir();
  for (int i = 0; i < 64; ++i) {
    const std::string id = random_uuid();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
    EXPECT_EQ(id, [&] {
      std::string lower = id;
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      return lower;
    }());
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 64u);
  const std::string name = "component-" + *seen.begin();
  ASSERT_EQ(::mkdir((dir + "/" + name).c_str(), 0700), 0);
  EXPECT_TRUE(is_product_cache_folder(dir, name, ".partial-"));
  remove_directory(dir);
}
