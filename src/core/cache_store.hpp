// On-disk layout of one component cache and its crash-safe writing.
//
// A cache is one directory per write, holding one file per blob and a manifest written last:
//
//   component-<uuid>/
//     manifest.json      {"format": "orvane-diskcache", "version": 1,
//                         "component_id": "...", "success_count": 3, "created": 1733650000.25,
//                         "blobs": [{"name": "x", "kind": "output", "file": "output-0000.bin",
//                                    "size": 123, "xxh64": "<16 hex digits>"}, ...]}
//     meta.bin           pickled mapping of the small result fields (kind "meta")
//     last_output.bin    pickled last output (kind "last_output")
//     output-0000.bin    one pickled non-module output per file (kind "output", name = symbol)
//
// Writing goes into a sibling directory whose name starts with kPartialPrefix; files and that
// directory are synced, the manifest goes in last, then the directory is renamed into place and
// the parent synced. A crash at any point leaves either nothing, or a partial directory that
// carries the prefix (and may lack a manifest), never a loadable cache under the final name.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kManifestFormat = "orvane-diskcache";
inline constexpr int kManifestVersion = 1;
inline constexpr const char* kPartialPrefix = ".orvane-partial-";

// A blob to write: the bytes are borrowed, the caller keeps them alive until the write ends.
struct BlobRef {
  std::string name;
  std::string kind;  // "meta", "last_output" or "output"
  const char* data = nullptr;
  std::size_t size = 0;
};

struct WriteRequest {
  std::string component_id;
  std::int64_t success_count = 0;
  std::string cache_dir;
  std::vector<BlobRef> blobs;
};

// What a finished blob looks like in the manifest.
struct BlobRecord {
  std::string name;
  std::string kind;
  std::string file;
  std::size_t size = 0;
  std::uint64_t checksum = 0;
};

enum class WriteStatus { kWritten, kFailed, kCancelled, kDied };

struct WriteOutcome {
  WriteStatus status = WriteStatus::kFailed;
  std::string error;  // OS error text and the path it concerns, for kFailed
};

// Signals the writer polls between chunks. `cancel` withdraws the write (nothing stays on disk);
// `die` simulates a crash: the write stops where it is and leaves its partial directory behind.
struct WriteSignals {
  const std::atomic<bool>* cancel = nullptr;
  const std::atomic<bool>* die = nullptr;
};

// JSON text of a manifest; `created` is seconds since the epoch.
std::string manifest_json(const WriteRequest& request, const std::vector<BlobRecord>& records,
                          double created);

// Escapes text for a JSON string literal (UTF-8 passes through unchanged).
std::string json_escape(const std::string& text);

// The file name a blob gets inside the cache directory; `index` counts outputs.
std::string blob_file_name(const std::string& kind, std::size_t index);

// Writes the request's blobs into request.cache_dir as described above. Refuses to replace an
// existing cache_dir. Creates missing parent directories.
WriteOutcome write_cache_directory(const WriteRequest& request, const WriteSignals& signals = {},
                                   std::size_t chunk_size = 8u << 20);

// Removes a directory this writer created and every plain file in it (no recursion: cache
// directories hold no subdirectories). Errors are ignored.
void remove_flat_directory(const std::string& path);

}  // namespace orvane
