// Unit tests of the blob checksum wrapper: split-invariant streaming and the stored hex form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hash.hpp"

using orvane::checksum_hex;
using orvane::HashKind;
using orvane::StreamHash;

TEST(CacheHash, StreamingEqualsOneShotForEverySplitAndKind) {
  std::vector<unsigned char> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  for (HashKind kind : {HashKind::kXxh3, HashKind::kXxh64}) {
    StreamHash whole(kind);
    whole.update(data.data(), data.size());
    for (std::size_t split : {0u, 1u, 31u, 32u, 129u, 240u, 300u}) {
      StreamHash h(kind);
      h.update(data.data(), split);
      h.update(data.data() + split, data.size() - split);
      EXPECT_EQ(h.digest(), whole.digest()) << "split " << split;
    }
  }
  // The first format's checksum is the library's XXH64 with seed 0.
  StreamHash empty(HashKind::kXxh64);
  EXPECT_EQ(checksum_hex(empty.digest()), "ef46db3751d8e999");
}

TEST(CacheHash, HexIsSixteenLowerCaseDigits) {
  EXPECT_EQ(checksum_hex(0), "0000000000000000");
  EXPECT_EQ(checksum_hex(0xEF46DB3751D8E999ULL), "ef46db3751d8e999");
}
