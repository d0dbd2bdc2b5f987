// Crash-safe writing of one cache directory: partial sibling, fsync, manifest last, rename.
#include "core/cache_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/cache_paths.hpp"
#include "core/hash.hpp"

namespace orvane {
namespace {

std::string os_error(int err, const std::string& what, const std::string& path) {
  return std::string(std::strerror(err)) + " [Errno " + std::to_string(err) + "] while " + what +
         " '" + path + "'";
}

std::string parent_of(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string base_of(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string random_suffix() {
  std::random_device rd;
  std::uint64_t v = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  return checksum_hex(v);
}

// mkdir -p; an existing directory is fine.
int make_dirs(const std::string& path) {
  if (path.empty() || path == "/" || path == ".") return 0;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  int err = make_dirs(parent_of(path));
  if (err != 0) return err;
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

int fsync_path(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

// rename() would silently replace an empty directory of the same name; where the kernel and
// file system allow, refuse atomically instead (the caller has checked beforehand as well).
int rename_no_replace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  return ::rename(from.c_str(), to.c_str());
}

bool flagged(const std::atomic<bool>* flag) {
  return flag != nullptr && flag->load(std::memory_order_relaxed);
}

// Writes `size` bytes to a new file in chunks, hashing each chunk while it is hot in cache.
// Flushes a written file to the disk and closes it; the descriptor is closed on every path.
WriteOutcome sync_and_close(int fd, const std::string& path) {
  if (::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    return {WriteStatus::kFailed, os_error(err, "syncing", path)};
  }
  if (::close(fd) != 0) return {WriteStatus::kFailed, os_error(errno, "closing", path)};
  return {WriteStatus::kWritten, ""};
}

WriteOutcome write_blob(const std::string& path, const char* data, std::size_t size,
                        const WriteSignals& signals, std::size_t chunk, std::uint64_t* checksum) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return {WriteStatus::kFailed, os_error(errno, "creating", path)};
  Xxh64 hash;
  std::size_t done = 0;
  while (done < size) {
    if (flagged(signals.cancel)) {
      ::close(fd);
      return {WriteStatus::kCancelled, ""};
    }
    // A crash in the middle of a blob: the first half is on disk, the rest never comes.
    if (flagged(signals.die) && done >= size / 2) {
      ::close(fd);
      return {WriteStatus::kDied, ""};
    }
    std::size_t n = std::min(chunk, size - done);
    if (flagged(signals.die)) n = std::max<std::size_t>(1, std::min(n, size / 2 - done));
    hash.update(data + done, n);
    std::size_t written = 0;
    while (written < n) {
      ssize_t w = ::write(fd, data + done + written, n - written);
      if (w < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return {WriteStatus::kFailed, os_error(err, "writing", path)};
      }
      written += static_cast<std::size_t>(w);
    }
    done += n;
  }
  if (flagged(signals.die)) {
    ::close(fd);
    return {WriteStatus::kDied, ""};
  }
  WriteOutcome synced = sync_and_close(fd, path);
  if (synced.status == WriteStatus::kWritten) *checksum = hash.digest();
  return synced;
}

WriteOutcome write_text_file(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return {WriteStatus::kFailed, os_error(errno, "creating", path)};
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return {WriteStatus::kFailed, os_error(err, "writing", path)};
    }
    done += static_cast<std::size_t>(w);
  }
  return sync_and_close(fd, path);
}

}  // namespace

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string blob_file_name(const std::string& kind, std::size_t index) {
  if (kind == "meta") return "meta.bin";
  if (kind == "last_output") return "last_output.bin";
  char buf[32];
  std::snprintf(buf, sizeof buf, "output-%04zu.bin", index);
  return buf;
}

std::string manifest_json(const WriteRequest& request, const std::vector<BlobRecord>& records,
                          double created) {
  char created_text[64];
  std::snprintf(created_text, sizeof created_text, "%.6f", created);
  std::string out = "{\"format\": \"" + std::string(kManifestFormat) +
                    "\", \"version\": " + std::to_string(kManifestVersion) +
                    ", \"component_id\": \"" + json_escape(request.component_id) +
                    "\", \"success_count\": " + std::to_string(request.success_count) +
                    ", \"created\": " + created_text + ", \"blobs\": [";
  for (std::size_t i = 0; i < records.size(); ++i) {
    const BlobRecord& r = records[i];
    if (i > 0) out += ", ";
    out += "{\"name\": \"" + json_escape(r.name) + "\", \"kind\": \"" + json_escape(r.kind) +
           "\", \"file\": \"" + json_escape(r.file) + "\", \"size\": " + std::to_string(r.size) +
           ", \"xxh64\": \"" + checksum_hex(r.checksum) + "\"}";
  }
  out += "]}\n";
  return out;
}

void remove_flat_directory(const std::string& path) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      ::unlink((path + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

WriteOutcome write_cache_directory(const WriteRequest& request, const WriteSignals& signals,
                                   std::size_t chunk_size) {
  const std::string& target = request.cache_dir;
  if (target.empty()) return {WriteStatus::kFailed, "The cache directory is empty text."};
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    return {WriteStatus::kFailed, os_error(EEXIST, "creating", target)};
  }
  const std::string parent = parent_of(target);
  if (int err = make_dirs(parent); err != 0) {
    return {WriteStatus::kFailed, os_error(err, "creating", parent)};
  }
  if (std::string problem = unsafe_path_problem(parent); !problem.empty()) {
    return {WriteStatus::kFailed, problem};
  }
  const std::string partial =
      parent + "/" + kPartialPrefix + base_of(target) + "-" + random_suffix();
  if (::mkdir(partial.c_str(), 0700) != 0) {
    return {WriteStatus::kFailed, os_error(errno, "creating", partial)};
  }

  auto fail = [&](WriteOutcome outcome) {
    if (outcome.status != WriteStatus::kDied) remove_flat_directory(partial);
    return outcome;
  };

  std::vector<BlobRecord> records;
  records.reserve(request.blobs.size());
  std::size_t outputs = 0;
  for (const BlobRef& blob : request.blobs) {
    BlobRecord record{blob.name, blob.kind, "", blob.size, 0};
    record.file = blob_file_name(blob.kind, blob.kind == "output" ? outputs++ : 0);
    WriteOutcome out = write_blob(partial + "/" + record.file, blob.data, blob.size, signals,
                                  chunk_size, &record.checksum);
    if (out.status != WriteStatus::kWritten) return fail(out);
    records.push_back(std::move(record));
  }
  if (flagged(signals.cancel)) return fail({WriteStatus::kCancelled, ""});
  if (flagged(signals.die)) return {WriteStatus::kDied, ""};

  double created =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  WriteOutcome out =
      write_text_file(partial + "/" + kManifestName, manifest_json(request, records, created));
  if (out.status != WriteStatus::kWritten) return fail(out);
  if (int err = fsync_path(partial, O_RDONLY | O_DIRECTORY); err != 0) {
    return fail({WriteStatus::kFailed, os_error(err, "syncing", partial)});
  }
  // Last chance to withdraw: after the rename the cache is visible.
  if (flagged(signals.cancel)) return fail({WriteStatus::kCancelled, ""});
  if (::lstat(target.c_str(), &st) == 0) {
    return fail({WriteStatus::kFailed, os_error(EEXIST, "creating", target)});
  }
  if (rename_no_replace(partial, target) != 0) {
    return fail({WriteStatus::kFailed, os_error(errno, "renaming into", target)});
  }
  if (int err = fsync_path(parent, O_RDONLY | O_DIRECTORY); err != 0) {
    // Not durable: withdraw it rather than report a failure while a cache stays behind.
    remove_flat_directory(target);
    return {WriteStatus::kFailed, os_error(err, "syncing", parent)};
  }
  return {WriteStatus::kWritten, ""};
}

}  // namespace orvane
