// Crash-safe writing of one cache directory: partial sibling, fsync, manifest last, rename.
#include "core/cache_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <thread>

#include "core/cache_paths.hpp"
#include "core/page_memory.hpp"

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

// Buffers at least this large are written from their page-aligned copy straight to the disk:
// no second copy into the page cache, and no gigabyte of dirty pages for the kernel to flush.
constexpr std::size_t kDirectMinBytes = 1u << 20;

// Writes one blob file: its stream, then each buffer at a page-aligned offset, hashing each
// chunk just before it is written.
class BlobFileWriter {
 public:
  BlobFileWriter(std::string path, const WriteSignals& signals, std::size_t chunk)
      : path_(std::move(path)), signals_(signals), chunk_(chunk) {}
  ~BlobFileWriter() {
    if (direct_ >= 0) ::close(direct_);
    if (fd_ >= 0) ::close(fd_);
  }

  WriteOutcome write(const BlobRef& blob, BlobRecord* record) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return {WriteStatus::kFailed, os_error(errno, "creating", path_)};
    record->stream_size = blob.stream.size;
    WriteOutcome out = write_segment(blob.stream, 0);
    std::uint64_t end = blob.stream.size;
    for (const Segment& buffer : blob.buffers) {
      if (out.status != WriteStatus::kWritten) return out;
      const std::uint64_t offset = align_up(end);
      record->buffers.push_back({offset, buffer.size, buffer.is_bytes});
      out = write_segment(buffer, offset);
      end = offset + buffer.size;
    }
    if (out.status != WriteStatus::kWritten) return out;
    if (flagged(signals_.die)) return {WriteStatus::kDied, ""};
    // A direct write of the last page may run past the data; the file ends where the data does.
    if (written_end_ > end && ::ftruncate(fd_, static_cast<off_t>(end)) != 0) {
      return {WriteStatus::kFailed, os_error(errno, "truncating", path_)};
    }
    record->size = end;
    record->checksum = hash_.digest();
    int fd = fd_;
    fd_ = -1;
    return sync_and_close(fd, path_);
  }

 private:
  bool use_direct(const Segment& s) {
    if (!s.pages || s.size < kDirectMinBytes || direct_ == -2) return false;
    if (direct_ == -1) {
      direct_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECT);
      if (direct_ < 0) direct_ = -2;  // e.g. a file system without direct I/O
    }
    return direct_ >= 0;
  }

  WriteOutcome write_segment(const Segment& s, std::uint64_t offset) {
    bool direct = use_direct(s);
    std::size_t done = 0;
    while (done < s.size) {
      if (flagged(signals_.cancel)) return {WriteStatus::kCancelled, ""};
      // A crash in the middle of a blob: the first half is on disk, the rest never comes.
      if (flagged(signals_.die) && done >= s.size / 2) return {WriteStatus::kDied, ""};
      std::size_t n = std::min(chunk_, s.size - done);
      if (flagged(signals_.die)) n = std::max<std::size_t>(1, std::min(n, s.size / 2 - done));
      if (s.pages) s.pages->wait_filled(done + n);
      hash_.update(s.data + done, n);
      // Whole pages only for direct I/O: the copy is zero-padded up to its capacity.
      std::size_t len = direct ? static_cast<std::size_t>(align_up(n)) : n;
      if (direct && done + len > s.pages->capacity()) direct = false, len = n;
      WriteOutcome out = write_all(direct ? direct_ : fd_, s.data + done, len, offset + done);
      if (out.status != WriteStatus::kWritten && direct) {
        // Direct I/O refused after all (alignment rules of this file system): go buffered.
        direct = false;
        direct_ = -2;
        out = write_all(fd_, s.data + done, n, offset + done);
        len = n;
      }
      if (out.status != WriteStatus::kWritten) return out;
      written_end_ = std::max<std::uint64_t>(written_end_, offset + done + len);
      done += n;
    }
    return {WriteStatus::kWritten, ""};
  }

  WriteOutcome write_all(int fd, const char* data, std::size_t size, std::uint64_t offset) {
    std::size_t written = 0;
    while (written < size) {
      ssize_t w =
          ::pwrite(fd, data + written, size - written, static_cast<off_t>(offset + written));
      if (w < 0) {
        if (errno == EINTR) continue;
        return {WriteStatus::kFailed, os_error(errno, "writing", path_)};
      }
      written += static_cast<std::size_t>(w);
    }
    return {WriteStatus::kWritten, ""};
  }

  std::string path_;
  WriteSignals signals_;
  std::size_t chunk_;
  int fd_ = -1;
  int direct_ = -1;  // -1 not opened yet, -2 unavailable
  std::uint64_t written_end_ = 0;
  StreamHash hash_{HashKind::kXxh3};
};

WriteOutcome write_text_file(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
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

PageBuffer::PageBuffer(std::size_t size) : size_(size) {
  capacity_ = static_cast<std::size_t>(align_up(std::max<std::size_t>(size, 1)));
  void* p = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  split_ = split_point(size_);
}

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

void PageBuffer::fill_from(const void* src) {
  copy_in_two(data_, static_cast<const char*>(src), size_, &first_, &second_);
}

void PageBuffer::wait_filled(std::size_t bytes) const {
  bytes = std::min(bytes, size_);
  auto ready = [&] {
    if (bytes <= split_) return first_.load(std::memory_order_acquire) >= bytes;
    return first_.load(std::memory_order_acquire) >= split_ &&
           second_.load(std::memory_order_acquire) >= bytes - split_;
  };
  // The fillers are memcpy loops on other cores that never stop half-way, so a short sleep is
  // cheaper than a condition variable on every chunk.
  while (!ready()) std::this_thread::sleep_for(std::chrono::microseconds(50));
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

  Manifest manifest;
  manifest.component_id = request.component_id;
  manifest.success_count = request.success_count;
  std::size_t outputs = 0;
  for (const BlobRef& blob : request.blobs) {
    BlobRecord record;
    record.name = blob.name;
    record.kind = blob.kind;
    record.file = blob_file_name(blob.kind, blob.kind == "output" ? outputs++ : 0);
    BlobFileWriter file(partial + "/" + record.file, signals, chunk_size);
    WriteOutcome out = file.write(blob, &record);
    if (out.status != WriteStatus::kWritten) return fail(out);
    manifest.blobs.push_back(std::move(record));
  }
  if (flagged(signals.cancel)) return fail({WriteStatus::kCancelled, ""});
  if (flagged(signals.die)) return {WriteStatus::kDied, ""};

  manifest.created =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  WriteOutcome out = write_text_file(partial + "/" + kManifestName, manifest_json(manifest));
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
