// 64-bit non-cryptographic checksum of cache blobs: fast enough to run in the same pass as I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

// Streaming form of the XXH64 algorithm, built from its published description. Feeding the
// same bytes in any split gives the same digest as the one-shot function.
class Xxh64 {
 public:
  explicit Xxh64(std::uint64_t seed = 0);
  void update(const void* data, std::size_t size);
  std::uint64_t digest() const;

 private:
  std::uint64_t acc_[4];
  std::uint64_t seed_;
  std::uint64_t total_ = 0;
  unsigned char buffer_[32];
  std::size_t buffered_ = 0;
};

std::uint64_t xxh64(const void* data, std::size_t size, std::uint64_t seed = 0);

// Sixteen lower-case hex digits: how checksums are stored in a cache manifest.
std::string checksum_hex(std::uint64_t value);

}  // namespace orvane
