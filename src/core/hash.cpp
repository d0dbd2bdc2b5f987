// XXH64: four interleaved 64-bit lanes over 32-byte stripes, then a tail and an avalanche step.
#include "core/hash.hpp"

#include <cstring>

namespace orvane {
namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Unaligned little-endian loads; memcpy compiles to a plain load on the targets we build for.
inline std::uint64_t read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint32_t read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t round(std::uint64_t acc, std::uint64_t input) {
  acc += input * kP2;
  acc = rotl(acc, 31);
  return acc * kP1;
}

inline std::uint64_t merge_round(std::uint64_t acc, std::uint64_t val) {
  acc ^= round(0, val);
  return acc * kP1 + kP4;
}

inline const unsigned char* stripes(std::uint64_t* acc, const unsigned char* p,
                                    const unsigned char* limit) {
  std::uint64_t v1 = acc[0], v2 = acc[1], v3 = acc[2], v4 = acc[3];
  while (p + 32 <= limit) {
    v1 = round(v1, read64(p));
    v2 = round(v2, read64(p + 8));
    v3 = round(v3, read64(p + 16));
    v4 = round(v4, read64(p + 24));
    p += 32;
  }
  acc[0] = v1;
  acc[1] = v2;
  acc[2] = v3;
  acc[3] = v4;
  return p;
}

std::uint64_t finish(std::uint64_t h, const unsigned char* p, std::size_t len) {
  const unsigned char* end = p + len;
  while (p + 8 <= end) {
    h ^= round(0, read64(p));
    h = rotl(h, 27) * kP1 + kP4;
    p += 8;
  }
  if (p + 4 <= end) {
    h ^= static_cast<std::uint64_t>(read32(p)) * kP1;
    h = rotl(h, 23) * kP2 + kP3;
    p += 4;
  }
  while (p < end) {
    h ^= static_cast<std::uint64_t>(*p) * kP5;
    h = rotl(h, 11) * kP1;
    ++p;
  }
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

}  // namespace

Xxh64::Xxh64(std::uint64_t seed) : seed_(seed) {
  acc_[0] = seed + kP1 + kP2;
  acc_[1] = seed + kP2;
  acc_[2] = seed;
  acc_[3] = seed - kP1;
}

void Xxh64::update(const void* data, std::size_t size) {
  auto p = static_cast<const unsigned char*>(data);
  const unsigned char* end = p + size;
  total_ += size;
  if (buffered_ + size < 32) {
    std::memcpy(buffer_ + buffered_, p, size);
    buffered_ += size;
    return;
  }
  if (buffered_ > 0) {
    std::size_t fill = 32 - buffered_;
    std::memcpy(buffer_ + buffered_, p, fill);
    stripes(acc_, buffer_, buffer_ + 32);
    p += fill;
    buffered_ = 0;
  }
  p = stripes(acc_, p, end);
  buffered_ = static_cast<std::size_t>(end - p);
  std::memcpy(buffer_, p, buffered_);
}

std::uint64_t Xxh64::digest() const {
  std::uint64_t h;
  if (total_ >= 32) {
    h = rotl(acc_[0], 1) + rotl(acc_[1], 7) + rotl(acc_[2], 12) + rotl(acc_[3], 18);
    for (std::uint64_t v : acc_) h = merge_round(h, v);
  } else {
    h = seed_ + kP5;
  }
  h += total_;
  return finish(h, buffer_, buffered_);
}

std::uint64_t xxh64(const void* data, std::size_t size, std::uint64_t seed) {
  Xxh64 state(seed);
  state.update(data, size);
  return state.digest();
}

std::string checksum_hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

}  // namespace orvane
