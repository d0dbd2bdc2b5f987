// The on-disk format of one component cache: its manifest (JSON) and reading a blob file back.
//
//   component-<uuid>/
//     manifest.json      {"format": "orvane-diskcache", "version": 2, "component_id": "...",
//                         "success_count": 3, "created": 1733650000.25,
//                         "blobs": [{"name": "x", "kind": "output", "file": "output-0000.bin",
//                                    "size": 8392704, "xxh3": "<16 hex digits>",
//                                    "stream": 171,
//                                    "buffers": [{"offset": 4096, "size": 8388608,
//                                                 "type": "bytearray"}]}, ...]}
//     meta.bin           the small result fields (kind "meta")
//     last_output.bin    the last output (kind "last_output")
//     output-0000.bin    one non-module output per file (kind "output", name = symbol)
//
// A blob file holds one pickle stream (protocol 5) at offset 0 and, after it, the stream's
// out-of-band buffers, each at a page-aligned offset so they can be written and read straight
// between memory and disk. The checksum covers the stream and then each buffer, not the padding.
// Version 1 (still read) had no out-of-band buffers and an "xxh64" checksum of the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hash.hpp"

namespace orvane {

inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kManifestFormat = "orvane-diskcache";
inline constexpr int kManifestVersion = 2;
inline constexpr const char* kPartialPrefix = ".orvane-partial-";
inline constexpr std::size_t kBufferAlignment = 4096;

// A directory or file that is not a usable cache; the text names the path and the fault.
class CacheFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BufferRecord {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool is_bytes = false;  // read back as an immutable bytes object, else as a bytearray
};

struct BlobRecord {
  std::string name;
  std::string kind;  // "meta", "last_output" or "output"
  std::string file;
  std::uint64_t size = 0;  // of the whole file
  HashKind hash = HashKind::kXxh3;
  std::uint64_t checksum = 0;
  std::uint64_t stream_size = 0;
  std::vector<BufferRecord> buffers;
};

struct Manifest {
  int version = kManifestVersion;
  std::string component_id;
  std::int64_t success_count = 0;
  double created = 0.0;
  bool has_created = false;
  std::vector<BlobRecord> blobs;
};

std::uint64_t align_up(std::uint64_t value);

// The file name a blob gets inside the cache directory; `index` counts outputs.
std::string blob_file_name(const std::string& kind, std::size_t index);

// JSON text of a manifest in the current version.
std::string manifest_json(const Manifest& manifest);

// Parses and validates manifest text (either version); `path` only names it in errors.
Manifest parse_manifest(const std::string& text, const std::string& path);

// Reads `dir`/manifest.json without following symbolic links.
Manifest read_manifest(const std::string& dir);

// The first missing or mis-sized blob file, as text, or empty text when all are in place.
std::string find_missing_or_truncated(const std::string& dir, const Manifest& manifest);

// Reads a blob file straight into its destinations: the stream into `stream` (stream_size
// bytes) and each buffer into its own memory (fresh memory: it is faulted in as it is read),
// checksumming on the way. Throws CacheFormatError on a short file, a
// read failure or a checksum mismatch.
void read_blob(const std::string& dir, const BlobRecord& blob, char* stream,
               const std::vector<char*>& buffers);

}  // namespace orvane
