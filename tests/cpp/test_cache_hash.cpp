// Unit tests of the blob checksum: published reference digests and split-invariant streaming.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hash.hpp"

using orvane::checksum_hex;
using orvane::xxh64;
using orvane::Xxh64;

TEST(CacheHash, MatchesReferenceDigests) {
  struct Case {
    std::string input;
    std::uint64_t seed;
    std::uint64_t digest;
  };
  for (const Case& c :
       {Case{"", 0, 0xEF46DB3751D8E999ULL}, Case{"abc", 0, 0x44BC2CF5AD770999ULL}}) {
    EXPECT_EQ(xxh64(c.input.data(), c.input.size(), c.seed), c.digest) << '"' << c.input << '"';
  }
}

TEST(CacheHash, StreamingEqualsOneShotForEverySplit) {
  // Lengths around the 4-, 8- and 32-byte boundaries exercise every tail path.
  std::vector<unsigned char> data(200);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  for (std::size_t len : {0u, 1u, 3u, 4u, 7u, 8u, 31u, 32u, 33u, 63u, 64u, 100u, 200u}) {
    const std::uint64_t expected = xxh64(data.data(), len, 42);
    for (std::size_t split = 0; split <= len; split += (len > 40 ? 7 : 1)) {
      Xxh64 h(42);
      h.update(data.data(), split);
      h.update(data.data() + split, len - split);
      EXPECT_EQ(h.digest(), expected) << "len " << len << " split " << split;
    }
    Xxh64 bytewise(42);
    for (std::size_t i = 0; i < len; ++i) bytewise.update(data.data() + i, 1);
    EXPECT_EQ(bytewise.digest(), expected) << "len " << len;
  }
}

TEST(CacheHash, SeedAndSingleBitChangesChangeTheDigest) {
  std::string a(1000, 'x');
  std::string b = a;
  b[517] ^= 1;
  EXPECT_NE(xxh64(a.data(), a.size()), xxh64(b.data(), b.size()));
  EXPECT_NE(xxh64(a.data(), a.size(), 0), xxh64(a.data(), a.size(), 1));
}

TEST(CacheHash, HexIsSixteenLowerCaseDigits) {
  EXPECT_EQ(checksum_hex(0), "0000000000000000");
  EXPECT_EQ(checksum_hex(0xEF46DB3751D8E999ULL), "ef46db3751d8e999");
}
