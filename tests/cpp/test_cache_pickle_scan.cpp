// Unit tests of the pickle payload scan and the split read used to load large cache blobs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/hash.hpp"
#include "core/pickle_scan.hpp"

using namespace orvane;

namespace {

std::string le(std::uint64_t v, int width) {
  std::string out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

std::string op(unsigned char code) { return std::string(1, static_cast<char>(code)); }

// A file holding `content`; removed with the object.
struct TempFile {
  explicit TempFile(const std::string& content) {
    std::string tmpl = ::testing::TempDir() + "/pickle-XXXXXX";
    fd = ::mkstemp(tmpl.data());
    path = tmpl;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    size = content.size();
  }
  ~TempFile() {
    ::close(fd);
    ::unlink(path.c_str());
  }
  int fd;
  std::string path;
  std::uint64_t size;
};

}  // namespace

TEST(PickleScan, SplitsLargePayloadsOutsideFramesAndHashesTheWholeFile) {
  const std::string big_a(5000, 'a'), big_b(6000, 'b'), small(10, 's'), framed(7000, 'f');
  // PROTO 5; a frame holding a large BYTEARRAY8 (kept in-band); a BINBYTES8 and a BYTEARRAY8
  // outside frames (split out); a short one (kept); protocol-0 style INT and GLOBAL lines.
  const std::string framed_op = op(0x96) + le(framed.size(), 8) + framed;
  std::string pickle = op(0x80) + le(5, 1) + op(0x95) + le(framed_op.size(), 8) + framed_op +
                       op(0x8e) + le(big_a.size(), 8) + big_a + op('I') + "12\n" + op('c') +
                       "mod\nname\n" + op(0x96) + le(big_b.size(), 8) + big_b + op(0x8e) +
                       le(small.size(), 8) + small + op('J') + le(7, 4) + op('t') + op('.');
  TempFile file(pickle);
  auto found = scan_pickle_payloads(file.fd, file.size, 4096);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), 2u);
  EXPECT_FALSE((*found)[0].bytearray);
  EXPECT_EQ((*found)[0].size, big_a.size());
  EXPECT_TRUE((*found)[1].bytearray);
  EXPECT_EQ((*found)[1].size, big_b.size());

  std::string a(big_a.size(), '\0'), b(big_b.size(), '\0');
  std::string stream(split_stream_size(file.size, *found), '\0');
  int error = -1;
  std::uint64_t digest =
      read_pickle_split(file.fd, file.size, *found, {a.data(), b.data()}, stream.data(), &error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(digest, xxh64(pickle.data(), pickle.size()));
  EXPECT_EQ(a, big_a);
  EXPECT_EQ(b, big_b);
  std::string expected = pickle;
  auto cut = [&](const std::string& payload) {
    std::size_t at = expected.find(payload) - 9;
    expected.replace(at, payload.size() + 9, op(0x97));
  };
  cut(big_a);
  cut(big_b);
  EXPECT_EQ(stream, expected);
}

TEST(PickleScan, GivesUpOnStreamsItCannotWalk) {
  struct Case {
    const char* what;
    std::string pickle;
  };
  const Case cases[] = {
      {"unknown opcode", op(0x80) + le(5, 1) + op(0xFE) + op('.')},
      {"no stop", op(0x80) + le(5, 1) + op('N')},
      {"payload past the end", op(0x96) + le(1000, 8) + "abc" + op('.')},
      {"bytes after stop", op('N') + op('.') + "tail"},
      {"unterminated line", op('I') + "12"},
  };
  for (const Case& c : cases) {
    TempFile file(c.pickle);
    EXPECT_FALSE(scan_pickle_payloads(file.fd, file.size, 1).has_value()) << c.what;
  }
}

TEST(PickleScan, WithoutPayloadsTheStreamIsTheFile) {
  std::string pickle = op(0x80) + le(4, 1) + op(0x8c) + le(3, 1) + "abc" + op(0x94) + op('.');
  TempFile file(pickle);
  auto found = scan_pickle_payloads(file.fd, file.size, 1);
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->empty());
  std::string stream(split_stream_size(file.size, *found), '\0');
  int error = 0;
  EXPECT_EQ(read_pickle_split(file.fd, file.size, {}, {}, stream.data(), &error),
            xxh64(pickle.data(), pickle.size()));
  EXPECT_EQ(stream, pickle);
}
