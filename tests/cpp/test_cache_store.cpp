// Unit tests of cache-directory writing: layout, manifest, refusal, cancel, crash and failures.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/cache_store.hpp"
#include "core/hash.hpp"

using namespace orvane;

namespace {

std::string make_temp_dir() {
  std::string tmpl = ::testing::TempDir() + "/cache-store-XXXXXX";
  char* made = ::mkdtemp(tmpl.data());
  EXPECT_NE(made, nullptr);
  return tmpl;
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.insert(n);
    }
    ::closedir(d);
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Blobs {
  std::string meta = "meta-bytes";
  std::string last = std::string(100000, 'L');
  std::string out0 = "zero";
  std::string out1 = "";
  WriteRequest request(const std::string& dir) const {
    return {"comp \"1\"\n",
            7,
            dir,
            {{"__meta__", "meta", meta.data(), meta.size()},
             {"__last_output__", "last_output", last.data(), last.size()},
             {"x", "output", out0.data(), out0.size()},
             {"y", "output", out1.data(), out1.size()}}};
  }
};

}  // namespace

TEST(CacheStore, WritesOneFilePerBlobAndAManifest) {
  std::string root = make_temp_dir();
  Blobs blobs;
  std::string dir = root + "/pipe/component-a";  // parent does not exist yet
  WriteOutcome out = write_cache_directory(blobs.request(dir), {}, 4096);
  ASSERT_EQ(out.status, WriteStatus::kWritten) << out.error;
  EXPECT_EQ(entries(root + "/pipe"), std::set<std::string>{"component-a"});
  EXPECT_EQ(entries(dir), (std::set<std::string>{"manifest.json", "meta.bin", "last_output.bin",
                                                 "output-0000.bin", "output-0001.bin"}));
  EXPECT_EQ(read_file(dir + "/last_output.bin"), blobs.last);
  EXPECT_EQ(read_file(dir + "/output-0001.bin"), "");
  std::string manifest = read_file(dir + "/manifest.json");
  EXPECT_NE(manifest.find("\"component_id\": \"comp \\\"1\\\"\\n\""), std::string::npos);
  EXPECT_NE(manifest.find("\"success_count\": 7"), std::string::npos);
  EXPECT_NE(manifest.find("\"xxh64\": \"" + checksum_hex(xxh64(blobs.last.data(), 100000)) + "\""),
            std::string::npos);
}

TEST(CacheStore, RefusesToReplaceAnExistingDirectory) {
  std::string root = make_temp_dir();
  Blobs blobs;
  ASSERT_EQ(::mkdir((root + "/component-a").c_str(), 0755), 0);
  WriteOutcome out = write_cache_directory(blobs.request(root + "/component-a"));
  EXPECT_EQ(out.status, WriteStatus::kFailed);
  EXPECT_NE(out.error.find("File exists"), std::string::npos) << out.error;
  EXPECT_EQ(entries(root), std::set<std::string>{"component-a"});
}

TEST(CacheStore, CancelLeavesNothingOnDisk) {
  std::string root = make_temp_dir();
  Blobs blobs;
  std::atomic<bool> cancel{true};
  WriteOutcome out =
      write_cache_directory(blobs.request(root + "/component-a"), {&cancel, nullptr});
  EXPECT_EQ(out.status, WriteStatus::kCancelled);
  EXPECT_TRUE(entries(root).empty());
}

TEST(CacheStore, CrashLeavesOnlyAPartialDirectoryWithoutManifest) {
  std::string root = make_temp_dir();
  Blobs blobs;
  std::atomic<bool> die{true};
  WriteOutcome out = write_cache_directory(blobs.request(root + "/component-a"), {nullptr, &die});
  EXPECT_EQ(out.status, WriteStatus::kDied);
  auto names = entries(root);
  ASSERT_EQ(names.size(), 1u);
  const std::string partial = *names.begin();
  EXPECT_EQ(partial.rfind(kPartialPrefix, 0), 0u) << partial;
  EXPECT_EQ(entries(root + "/" + partial).count(kManifestName), 0u);
}

TEST(CacheStore, OsFailureNamesTheErrorAndLeavesNothing) {
  std::string root = make_temp_dir();
  {
    std::ofstream(root + "/plain-file") << "x";
  }
  Blobs blobs;
  WriteOutcome out = write_cache_directory(blobs.request(root + "/plain-file/component-a"));
  EXPECT_EQ(out.status, WriteStatus::kFailed);
  EXPECT_NE(out.error.find("Not a directory"), std::string::npos) << out.error;
  EXPECT_EQ(entries(root), std::set<std::string>{"plain-file"});
}

TEST(CacheStore, JsonEscapeHandlesQuotesControlsAndUtf8) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {Case{"plain", "plain"}, Case{"a\"b\\c", "a\\\"b\\\\c"},
                        Case{"\t\x01", "\\t\\u0001"}, Case{"\xc3\xa9", "\xc3\xa9"}}) {
    EXPECT_EQ(json_escape(c.in), c.out);
  }
}
