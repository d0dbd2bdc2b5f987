// FNV-1a over length-prefixed fields; see cache_fingerprint.hpp.
#include "core/cache_fingerprint.hpp"

#include <cstdint>
#include <cstdio>

namespace orvane {

namespace {

void mix(std::uint64_t& hash, const std::string& field) {
  // The length first, so that fields cannot run into each other ("ab","c" vs "a","bc").
  const std::uint64_t size = field.size();
  for (int shift = 0; shift < 64; shift += 8) {
    hash ^= (size >> shift) & 0xFF;
    hash *= 1099511628211ULL;
  }
  for (unsigned char c : field) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
}

}  // namespace

std::string cache_fingerprint(const std::string& code, const std::string& parameters,
                              const std::vector<std::string>& parent_fingerprints) {
  std::uint64_t hash = 14695981039346656037ULL;
  mix(hash, code);
  mix(hash, parameters);
  for (const std::string& parent : parent_fingerprints) mix(hash, parent);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace orvane
