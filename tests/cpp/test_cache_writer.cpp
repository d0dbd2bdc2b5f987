// Unit tests of the background writer: queue order, cancel, close, restart and a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/cache_writer.hpp"
#include "core/page_memory.hpp"
#include "temp_dir.hpp"

using namespace orvane;

namespace {

std::string make_temp_dir() { return testing_support::make_temp_dir("cache-writer"); }

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

WriteRequest request(const std::string& id, std::int64_t count, const std::string& dir,
                     const std::string& data) {
  BlobRef blob;
  blob.name = "__meta__";
  blob.kind = "meta";
  blob.stream.data = data.data();
  blob.stream.size = data.size();
  return {id, count, dir, {blob}};
}

// Drains until `n` messages arrived or a few seconds passed; retired tickets go to `retired`.
std::vector<DoneMessage> wait_messages(CacheWriter& w, std::size_t n,
                                       std::vector<std::uint64_t>* retired = nullptr) {
  std::vector<DoneMessage> all;
  for (int i = 0; i < 500 && all.size() < n; ++i) {
    Drained d = w.drain();
    all.insert(all.end(), d.messages.begin(), d.messages.end());
    if (retired) retired->insert(retired->end(), d.retired.begin(), d.retired.end());
    if (all.size() < n) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return all;
}

}  // namespace

TEST(CacheWriter, RefusesTasksUntilOpenedAndAfterClose) {
  CacheWriter w;
  std::string data = "d";
  std::string root = make_temp_dir();
  EXPECT_EQ(w.put(request("a", 1, root + "/x", data)), 0u);
  w.open();
  w.start();
  EXPECT_TRUE(w.is_alive());
  w.close();
  EXPECT_FALSE(w.is_alive());
  EXPECT_EQ(w.put(request("a", 1, root + "/x", data)), 0u);
}

TEST(CacheWriter, WritesTasksInOrderAndReportsEach) {
  std::string root = make_temp_dir();
  std::string data(1 << 20, 'q');
  CacheWriter w;
  w.open();
  w.start();
  ASSERT_NE(w.put(request("a", 1, root + "/one", data)), 0u);
  ASSERT_NE(w.put(request("b", 2, root + "/two", data)), 0u);
  auto msgs = wait_messages(w, 2);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].component_id, "a");
  EXPECT_EQ(msgs[1].success_count, 2);
  EXPECT_TRUE(msgs[0].is_successful && msgs[1].is_successful);
  EXPECT_TRUE(exists(root + "/one/manifest.json") && exists(root + "/two/manifest.json"));
  w.close();
}

TEST(CacheWriter, HeldTasksWaitForReleaseAndTheWriterStaysAlive) {
  std::string root = make_temp_dir();
  std::string data = "d";
  CacheWriter w;
  w.open();
  w.start();
  ASSERT_TRUE(w.inject_fault("hold"));
  ASSERT_NE(w.put(request("a", 1, root + "/one", data)), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(w.drain().messages.empty());
  EXPECT_FALSE(exists(root + "/one"));
  ASSERT_TRUE(w.inject_fault("release"));
  EXPECT_EQ(wait_messages(w, 1).size(), 1u);
  w.close();
}

// The owner copies a buffer into pages, in two parts at once, while the worker already writes
// it (the hand-off of a large value); what lands on disk is the whole copy.
TEST(CacheWriter, WritesPagesWhileTheOwnerStillFillsThem) {
  std::string root = make_temp_dir();
  std::vector<char> source(kTwoThreadCopyBytes + (5u << 20) + 3);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7);
  std::string stream = "stream";
  auto pages = std::make_shared<PageBuffer>(source.size());
  WriteRequest req = request("a", 1, root + "/one", stream);
  Segment segment;
  segment.data = pages->data();
  segment.size = pages->size();
  segment.pages = pages;
  req.blobs[0].buffers.push_back(segment);
  CacheWriter w;
  w.open();
  w.start();
  ASSERT_NE(w.put(std::move(req)), 0u);
  pages->fill_from(source.data());
  auto msgs = wait_messages(w, 1);
  ASSERT_EQ(msgs.size(), 1u);
  ASSERT_TRUE(msgs[0].is_successful) << msgs[0].msg;
  w.close();
  Manifest m = read_manifest(root + "/one");
  std::string got_stream(stream.size(), '\0');
  std::vector<char> got(source.size());
  read_blob(root + "/one", m.blobs[0], got_stream.data(), {got.data()});
  EXPECT_EQ(got_stream, stream);
  EXPECT_TRUE(got == source);
  // The part read back by the second reader is checked as well.
  {
    std::fstream f(root + "/one/" + m.blobs[0].file,
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(m.blobs[0].buffers[0].offset + source.size() - 5));
    f.put('\x7f');
  }
  EXPECT_THROW(read_blob(root + "/one", m.blobs[0], got_stream.data(), {got.data()}),
               CacheFormatError);
}

TEST(CacheWriter, CancelOfAQueuedTaskRetiresItWithoutMessage) {
  std::string root = make_temp_dir();
  std::string data = "d";
  CacheWriter w;
  w.open();  // not started: tasks stay queued
  std::uint64_t t1 = w.put(request("a", 1, root + "/one", data));
  std::uint64_t t2 = w.put(request("a", 2, root + "/two", data));
  EXPECT_TRUE(w.cancel("a", 1));
  EXPECT_FALSE(w.cancel("a", 5));
  Drained d = w.drain();
  EXPECT_TRUE(d.messages.empty());
  EXPECT_EQ(d.retired, std::vector<std::uint64_t>{t1});
  w.start();
  std::vector<std::uint64_t> retired;
  auto msgs = wait_messages(w, 1, &retired);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].success_count, 2);
  EXPECT_FALSE(exists(root + "/one"));
  EXPECT_TRUE(exists(root + "/two"));
  EXPECT_EQ(retired, std::vector<std::uint64_t>{t2});
  w.close();
}

TEST(CacheWriter, CloseDropsQueuedTasksWithFailedMessagesAndKeepsFinishedOnes) {
  std::string root = make_temp_dir();
  std::string data = "d";
  CacheWriter w;
  w.open();
  w.start();
  w.put(request("a", 1, root + "/one", data));
  ASSERT_EQ(wait_messages(w, 1).size(), 1u);
  w.put(request("b", 1, root + "/two", data));
  w.close();
  // Either the second write made it before close, or it was dropped with a failed message.
  Drained d = w.drain();
  ASSERT_EQ(d.messages.size(), 1u);
  EXPECT_EQ(d.messages[0].is_successful, exists(root + "/two"));
  EXPECT_FALSE(d.messages[0].is_stopped);
}

TEST(CacheWriter, DeathIsReportedOnceAndOpenStartRevives) {
  std::string root = make_temp_dir();
  std::string data(1 << 20, 'z');
  CacheWriter w;
  w.open();
  w.start();
  ASSERT_TRUE(w.inject_fault("die_mid_write"));
  EXPECT_FALSE(w.inject_fault("no_such_fault"));
  w.put(request("a", 1, root + "/one", data));
  for (int i = 0; i < 500 && w.is_alive(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(w.is_alive());
  EXPECT_EQ(w.put(request("a", 2, root + "/two", data)), 0u);
  Drained d = w.drain();
  ASSERT_EQ(d.messages.size(), 1u);
  EXPECT_TRUE(d.messages[0].is_stopped);
  EXPECT_TRUE(w.drain().messages.empty());
  EXPECT_FALSE(exists(root + "/one"));

  w.close();
  w.open();
  w.start();
  EXPECT_TRUE(w.is_alive());
  w.put(request("a", 3, root + "/three", data));
  auto msgs = wait_messages(w, 1);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_TRUE(msgs[0].is_successful);
  w.close();
}

TEST(CacheWriter, OnlyCancelInAnyCaseWithdrawsAWrite) {
  const struct {
    const char* type;
    bool cancel;
  } rows[] = {{"cancel", true}, {"CANCEL", true},   {"Cancel", true},     {"todo", false},
              {"", false},      {"cancel ", false}, {"cancelled", false}, {"c\xc3\xa1ncel", false}};
  for (const auto& row : rows) EXPECT_EQ(orvane::is_cancel_task(row.type), row.cancel) << row.type;
}
