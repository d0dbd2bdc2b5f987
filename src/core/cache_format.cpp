// Manifest JSON (nlohmann/json) and the checksummed read of a blob file.
#include "core/cache_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "core/page_memory.hpp"

namespace orvane {
namespace {

using json = nlohmann::ordered_json;

std::string quoted(const std::string& path) { return "'" + path + "'"; }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::uint64_t parse_hex(const std::string& text, bool* ok) {
  *ok = text.size() == 16;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (digit < 0) *ok = false;
    value = (value << 4) | static_cast<std::uint64_t>(digit & 15);
  }
  return value;
}

bool plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name != kManifestName &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool is_count(const json& value) { return value.is_number_unsigned(); }

BlobRecord parse_blob(const json& entry, int version, const std::string& path) {
  const std::string bad = "Corrupt disk cache manifest " + quoted(path) + ": bad blob entry";
  if (!entry.is_object()) throw CacheFormatError(bad);
  BlobRecord blob;
  const char* hash_key = version == 1 ? "xxh64" : "xxh3";
  auto name = entry.find("name"), kind = entry.find("kind"), file = entry.find("file"),
       size = entry.find("size"), sum = entry.find(hash_key);
  if (name == entry.end() || !name->is_string() || kind == entry.end() || !kind->is_string() ||
      file == entry.end() || !file->is_string() || size == entry.end() || !is_count(*size) ||
      sum == entry.end() || !sum->is_string()) {
    throw CacheFormatError(bad);
  }
  blob.name = name->get<std::string>();
  blob.kind = kind->get<std::string>();
  blob.file = file->get<std::string>();
  blob.size = size->get<std::uint64_t>();
  bool hex_ok = false;
  blob.checksum = parse_hex(sum->get<std::string>(), &hex_ok);
  // Only plain names inside the directory: a manifest never points elsewhere.
  if ((blob.kind != "meta" && blob.kind != "last_output" && blob.kind != "output") ||
      !plain_file_name(blob.file) || !hex_ok) {
    throw CacheFormatError(bad);
  }
  if (version == 1) {
    blob.hash = HashKind::kXxh64;
    blob.stream_size = blob.size;
    return blob;
  }
  auto stream = entry.find("stream"), buffers = entry.find("buffers");
  if (stream == entry.end() || !is_count(*stream) || buffers == entry.end() ||
      !buffers->is_array()) {
    throw CacheFormatError(bad);
  }
  blob.stream_size = stream->get<std::uint64_t>();
  std::uint64_t end = blob.stream_size;
  for (const json& b : *buffers) {
    if (!b.is_object() || !b.contains("offset") || !is_count(b["offset"]) || !b.contains("size") ||
        !is_count(b["size"]) || !b.contains("type") || !b["type"].is_string()) {
      throw CacheFormatError(bad);
    }
    BufferRecord rec{b["offset"].get<std::uint64_t>(), b["size"].get<std::uint64_t>(),
                     b["type"] == "bytes"};
    if ((!rec.is_bytes && b["type"] != "bytearray") || rec.offset < end || rec.size > blob.size ||
        rec.offset > blob.size - rec.size) {
      throw CacheFormatError(bad);
    }
    end = rec.offset + rec.size;
    blob.buffers.push_back(rec);
  }
  if (blob.stream_size > blob.size) throw CacheFormatError(bad);
  return blob;
}

// Reads [offset, offset + size) of `fd` into fresh memory at `dest` a chunk at a time; `hash`,
// when given, takes each chunk right after it arrives, while it is still in the CPU cache.
// Returns 0, an errno value, or -1 when the file ends first.
int read_range(int fd, char* dest, std::uint64_t offset, std::uint64_t size, StreamHash* hash) {
  constexpr std::size_t kChunk = 4u << 20;
  for (std::uint64_t done = 0; done < size;) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - done));
    // Faulting a chunk in as a batch beats a fault per page.
    populate_pages(dest + done, want);
    ssize_t n = ::pread(fd, dest + done, want, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return -1;
    if (hash != nullptr) hash->update(dest + done, static_cast<std::size_t>(n));
    done += static_cast<std::uint64_t>(n);
  }
  return 0;
}

// A second descriptor of the file open as `fd`, with a read-ahead state of its own, or -1.
int reopen_same(const std::string& path, int fd) {
  int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat a, b;
  if (again >= 0 && (::fstat(fd, &a) != 0 || ::fstat(again, &b) != 0 || a.st_dev != b.st_dev ||
                     a.st_ino != b.st_ino)) {
    ::close(again);
    return -1;  // replaced meanwhile: read it all through the first descriptor
  }
  return again;
}

}  // namespace

std::uint64_t align_up(std::uint64_t value) {
  return (value + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
}

std::string blob_file_name(const std::string& kind, std::size_t index) {
  if (kind == "meta") return "meta.bin";
  if (kind == "last_output") return "last_output.bin";
  char buf[32];
  std::snprintf(buf, sizeof buf, "output-%04zu.bin", index);
  return buf;
}

std::string manifest_json(const Manifest& manifest) {
  json blobs = json::array();
  for (const BlobRecord& b : manifest.blobs) {
    json buffers = json::array();
    for (const BufferRecord& r : b.buffers) {
      buffers.push_back(
          {{"offset", r.offset}, {"size", r.size}, {"type", r.is_bytes ? "bytes" : "bytearray"}});
    }
    blobs.push_back({{"name", b.name},
                     {"kind", b.kind},
                     {"file", b.file},
                     {"size", b.size},
                     {"xxh3", checksum_hex(b.checksum)},
                     {"stream", b.stream_size},
                     {"buffers", std::move(buffers)}});
  }
  json doc = {{"format", kManifestFormat},
              {"version", kManifestVersion},
              {"component_id", manifest.component_id},
              {"success_count", manifest.success_count},
              {"created", manifest.created},
              {"blobs", std::move(blobs)}};
  // Invalid UTF-8 in an id is replaced rather than refused: the write must not fail on it.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

Manifest parse_manifest(const std::string& text, const std::string& path) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    throw CacheFormatError("Corrupt disk cache manifest " + quoted(path) + ": not JSON");
  }
  if (!doc.is_object() || !doc.contains("format") || doc["format"] != kManifestFormat) {
    throw CacheFormatError("Not a disk cache manifest of this product: " + quoted(path));
  }
  const json& version = doc.contains("version") ? doc["version"] : json();
  if (!version.is_number_integer() || (version != 1 && version != kManifestVersion)) {
    throw CacheFormatError("Unsupported disk cache version " + version.dump() + " in " +
                           quoted(path));
  }
  Manifest m;
  m.version = version.get<int>();
  if (!doc.contains("component_id") || !doc["component_id"].is_string() ||
      !doc.contains("success_count") || !doc["success_count"].is_number_integer() ||
      !doc.contains("blobs") || !doc["blobs"].is_array()) {
    throw CacheFormatError("Corrupt disk cache manifest " + quoted(path) + ": missing fields");
  }
  m.component_id = doc["component_id"].get<std::string>();
  m.success_count = doc["success_count"].get<std::int64_t>();
  if (doc.contains("created") && doc["created"].is_number()) {
    m.created = doc["created"].get<double>();
    m.has_created = true;
  }
  for (const json& entry : doc["blobs"]) m.blobs.push_back(parse_blob(entry, m.version, path));
  return m;
}

Manifest read_manifest(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    throw CacheFormatError("Disk cache directory is a symbolic link: " + quoted(dir));
  }
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw CacheFormatError("Disk cache directory does not exist: " + quoted(dir));
  }
  const std::string path = dir + "/" + kManifestName;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      throw CacheFormatError(std::string("Not a disk cache (no ") + kManifestName +
                             "): " + quoted(dir));
    }
    throw CacheFormatError("Cannot read " + quoted(path) + ": " + std::strerror(errno));
  }
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw CacheFormatError("Cannot read " + quoted(path) + ": " + std::strerror(errno));
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return parse_manifest(text, path);
}

std::string find_missing_or_truncated(const std::string& dir, const Manifest& manifest) {
  for (const BlobRecord& blob : manifest.blobs) {
    const std::string path = dir + "/" + blob.file;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return "Disk cache file is missing: " + quoted(path);
      return "Cannot inspect disk cache file " + quoted(path) + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return "Disk cache file is not a regular file: " + quoted(path);
    if (static_cast<std::uint64_t>(st.st_size) != blob.size) {
      return "Disk cache file " + quoted(path) + " has " + std::to_string(st.st_size) +
             " bytes, the manifest says " + std::to_string(blob.size) +
             " (truncated or overwritten)";
    }
  }
  return "";
}

void read_blob(const std::string& dir, const BlobRecord& blob, char* stream,
               const std::vector<char*>& buffers) {
  const std::string path = dir + "/" + blob.file;
  if (buffers.size() != blob.buffers.size()) {
    throw std::invalid_argument("one destination per buffer is needed");
  }
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  auto fail = [&](int err) {
    if (err < 0) {
      return CacheFormatError("Disk cache file " + quoted(path) +
                              " is shorter than its manifest says (truncated)");
    }
    return CacheFormatError("Cannot read disk cache file " + quoted(path) + ": " +
                            std::strerror(err));
  };
  if (fd.get() < 0) throw fail(errno);
  StreamHash hash(blob.hash);
  if (int err = read_range(fd.get(), stream, 0, blob.stream_size, &hash)) throw fail(err);
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    char* dest = buffers[i];
    const std::uint64_t offset = blob.buffers[i].offset, size = blob.buffers[i].size;
    // A large buffer is read as two sequential streams at once, each with its own read-ahead,
    // so that both cores copy and take faults. The checksum runs in file order: the helper's
    // part is hashed once both are in, a pass over memory that is already faulted in.
    const std::uint64_t split = split_point(static_cast<std::size_t>(size));
    Fd second(split < size ? reopen_same(path, fd.get()) : -1);
    int helper_err = 0;
    std::thread helper;
    if (second.get() >= 0) {
      try {
        helper = std::thread([&] {
          helper_err =
              read_range(second.get(), dest + split, offset + split, size - split, nullptr);
        });
      } catch (const std::system_error&) {
        // No thread to be had: this thread reads it all.
      }
    }
    int err = read_range(fd.get(), dest, offset, helper.joinable() ? split : size, &hash);
    if (helper.joinable()) {
      helper.join();
      if (err == 0) err = helper_err;
      if (err == 0) hash.update(dest + split, static_cast<std::size_t>(size - split));
    }
    if (err != 0) throw fail(err);
  }
  if (hash.digest() != blob.checksum) {
    throw CacheFormatError("Disk cache file " + quoted(path) + " is corrupt (checksum mismatch)");
  }
}

}  // namespace orvane
