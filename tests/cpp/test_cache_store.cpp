// Unit tests of cache-directory writing: layout, manifest, refusal, cancel, crash and failures.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/cache_store.hpp"
#include "temp_dir.hpp"

using namespace orvane;

namespace {

std::string make_temp_dir() { return testing_support::make_temp_dir("cache-store"); }

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

BlobRef blob(const std::string& name, const std::string& kind, const std::string& stream) {
  BlobRef b;
  b.name = name;
  b.kind = kind;
  b.stream.data = stream.data();
  b.stream.size = stream.size();
  return b;
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
            {blob("__meta__", "meta", meta), blob("__last_output__", "last_output", last),
             blob("x", "output", out0), blob("y", "output", out1)}};
  }
};

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

}  // namespace

TEST(CacheStore, WritesOneFilePerBlobAndAManifestPrivately) {
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
  EXPECT_EQ(mode_of(root + "/pipe"), 0700u);
  EXPECT_EQ(mode_of(dir), 0700u);
  EXPECT_EQ(mode_of(dir + "/meta.bin"), 0600u);
  Manifest m = read_manifest(dir);
  EXPECT_EQ(m.component_id, "comp \"1\"\n");
  EXPECT_EQ(m.success_count, 7);
  EXPECT_TRUE(m.has_created);
  ASSERT_EQ(m.blobs.size(), 4u);
  EXPECT_EQ(find_missing_or_truncated(dir, m), "");
}

// Buffers land page-aligned after the stream; copies in pages go straight to the disk, borrowed
// ones through the page cache; both read back exactly, and a flipped byte is caught.
TEST(CacheStore, BuffersRoundTripAtAlignedOffsets) {
  std::string root = make_temp_dir();
  std::string stream = "pickle-stream", borrowed(5000, 'b');
  std::vector<char> source((3u << 20) + 123);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i % 251);
  auto pages = std::make_shared<PageBuffer>(source.size());
  pages->fill_from(source.data());
  BlobRef b = blob("v", "output", stream);
  b.buffers.push_back({pages->data(), pages->size(), false, pages});
  b.buffers.push_back({borrowed.data(), borrowed.size(), true, nullptr});
  std::string dir = root + "/component-a";
  WriteRequest req{"c", 1, dir, {b}};
  ASSERT_EQ(write_cache_directory(req).status, WriteStatus::kWritten);

  Manifest m = read_manifest(dir);
  const BlobRecord& rec = m.blobs.at(0);
  ASSERT_EQ(rec.buffers.size(), 2u);
  EXPECT_EQ(rec.buffers[0].offset, kBufferAlignment);
  EXPECT_EQ(rec.buffers[1].offset % kBufferAlignment, 0u);
  EXPECT_TRUE(rec.buffers[1].is_bytes);
  EXPECT_EQ(rec.size, rec.buffers[1].offset + borrowed.size());
  std::string got_stream(stream.size(), '\0');
  std::vector<char> got0(source.size());
  std::string got1(borrowed.size(), '\0');
  read_blob(dir, rec, got_stream.data(), {got0.data(), got1.data()});
  EXPECT_EQ(got_stream, stream);
  EXPECT_TRUE(got0 == source);
  EXPECT_EQ(got1, borrowed);

  {
    std::fstream f(dir + "/" + rec.file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(rec.buffers[0].offset + 77));
    f.put('\x7f');
  }
  EXPECT_THROW(read_blob(dir, rec, got_stream.data(), {got0.data(), got1.data()}),
               CacheFormatError);
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
