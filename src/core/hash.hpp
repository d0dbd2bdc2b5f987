// Checksums of cache files, computed in the same pass as the I/O (xxHash library).
#pragma once

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// XXH3 (64-bit) is what new caches record; XXH64 is read for caches of the first format.
enum class HashKind { kXxh3, kXxh64 };

// Streaming digest: feeding the same bytes in any split gives the same value.
class StreamHash {
 public:
  explicit StreamHash(HashKind kind) : kind_(kind) {
    if (kind_ == HashKind::kXxh3) {
      XXH3_64bits_reset(state3_.get());
    } else {
      XXH64_reset(state64_.get(), 0);
    }
  }
  void update(const void* data, std::size_t size) {
    if (kind_ == HashKind::kXxh3) {
      XXH3_64bits_update(state3_.get(), data, size);
    } else {
      XXH64_update(state64_.get(), data, size);
    }
  }
  std::uint64_t digest() const {
    return kind_ == HashKind::kXxh3 ? XXH3_64bits_digest(state3_.get())
                                    : XXH64_digest(state64_.get());
  }

 private:
  struct Free3 {
    void operator()(XXH3_state_t* s) const { XXH3_freeState(s); }
  };
  struct Free64 {
    void operator()(XXH64_state_t* s) const { XXH64_freeState(s); }
  };
  HashKind kind_;
  std::unique_ptr<XXH3_state_t, Free3> state3_{XXH3_createState()};
  std::unique_ptr<XXH64_state_t, Free64> state64_{XXH64_createState()};
};

// Sixteen lower-case hex digits: how checksums are stored in a cache manifest.
inline std::string checksum_hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[static_cast<std::size_t>(i)] = digits[value & 15];
  return out;
}

}  // namespace orvane
