// Unit tests of the cache manifest: round trip, the first format, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "core/cache_format.hpp"

using namespace orvane;

namespace {

std::string v2(const std::string& blob) {
  return R"({"format": "orvane-diskcache", "version": 2, "component_id": "c",
             "success_count": 3, "created": 1.5, "blobs": [)" +
         blob + "]}";
}

const char* kGoodBlob = R"({"name": "x", "kind": "output", "file": "output-0000.bin",
  "size": 8192, "xxh3": "00000000000000ff", "stream": 10,
  "buffers": [{"offset": 4096, "size": 4096, "type": "bytes"}]})";

}  // namespace

TEST(CacheFormat, ManifestRoundTrips) {
  Manifest m;
  m.component_id = "comp \"é\"\n";
  m.success_count = 7;
  m.created = 1733650000.25;
  BlobRecord b;
  b.name = "arr";
  b.kind = "output";
  b.file = "output-0000.bin";
  b.size = 9000;
  b.checksum = 0xEF46DB3751D8E999ULL;
  b.stream_size = 100;
  b.buffers = {{4096, 4904, false}};
  m.blobs = {b};
  Manifest back = parse_manifest(manifest_json(m), "m");
  EXPECT_EQ(back.version, kManifestVersion);
  EXPECT_EQ(back.component_id, m.component_id);
  EXPECT_EQ(back.success_count, 7);
  EXPECT_DOUBLE_EQ(back.created, m.created);
  ASSERT_EQ(back.blobs.size(), 1u);
  EXPECT_EQ(back.blobs[0].checksum, b.checksum);
  EXPECT_EQ(back.blobs[0].hash, HashKind::kXxh3);
  EXPECT_EQ(back.blobs[0].stream_size, 100u);
  EXPECT_EQ(back.blobs[0].buffers[0].offset, 4096u);
  EXPECT_FALSE(back.blobs[0].buffers[0].is_bytes);
}

TEST(CacheFormat, FirstFormatReadsAsOneStreamWithXxh64) {
  Manifest m = parse_manifest(R"({"format": "orvane-diskcache", "version": 1,
      "component_id": "c", "success_count": 1, "created": 2.0, "blobs": [{"name": "__meta__",
      "kind": "meta", "file": "meta.bin", "size": 42, "xxh64": "0123456789abcdef"}]})",
                              "m");
  EXPECT_EQ(m.version, 1);
  ASSERT_EQ(m.blobs.size(), 1u);
  EXPECT_EQ(m.blobs[0].hash, HashKind::kXxh64);
  EXPECT_EQ(m.blobs[0].stream_size, 42u);
  EXPECT_TRUE(m.blobs[0].buffers.empty());
}

TEST(CacheFormat, RefusesWhatIsNotAUsableManifest) {
  struct Case {
    std::string text, message;
  };
  const Case cases[] = {
      {"not json", "not JSON"},
      {R"({"format": "other", "version": 2})", "Not a disk cache manifest"},
      {R"({"format": "orvane-diskcache", "version": 3})", "Unsupported disk cache version 3"},
      {R"({"format": "orvane-diskcache", "version": "2"})", "Unsupported disk cache version"},
      {R"({"format": "orvane-diskcache", "version": 2, "component_id": "c",
           "success_count": true, "blobs": []})",
       "missing fields"},
      {v2(R"({"name": "x", "kind": "output", "file": "../etc", "size": 1,
              "xxh3": "00000000000000ff", "stream": 1, "buffers": []})"),
       "bad blob entry"},
      {v2(R"({"name": "x", "kind": "other", "file": "f", "size": 1,
              "xxh3": "00000000000000ff", "stream": 1, "buffers": []})"),
       "bad blob entry"},
      {v2(R"({"name": "x", "kind": "meta", "file": "f", "size": 1, "xxh3": "ff",
              "stream": 1, "buffers": []})"),
       "bad blob entry"},
      {v2(R"({"name": "x", "kind": "meta", "file": "f", "size": 8192,
              "xxh3": "00000000000000ff", "stream": 10,
              "buffers": [{"offset": 4096, "size": 8192, "type": "bytes"}]})"),
       "bad blob entry"},
      {v2(R"({"name": "x", "kind": "meta", "file": "f", "size": 8192,
              "xxh3": "00000000000000ff", "stream": 5000,
              "buffers": [{"offset": 4096, "size": 10, "type": "bytes"}]})"),
       "bad blob entry"},
  };
  for (const Case& c : cases) {
    try {
      parse_manifest(c.text, "m");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const CacheFormatError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(parse_manifest(v2(kGoodBlob), "m"));
}
