// Process-wide registry of advisory directory locks; see dir_lock.hpp.
#include "core/dir_lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace orvane {

namespace {

struct Registry {
  std::mutex mutex;
  pid_t pid = 0;  // the process whose locks `held` lists
  std::map<std::string, int> held;

  // After a fork the inherited entries describe the parent's locks: forget them, without
  // closing anything the child might still use.
  void forget_if_forked() {
    if (pid != ::getpid()) {
      held.clear();
      pid = ::getpid();
    }
  }
};

Registry& registry() {
  static Registry* r = new Registry();  // leaked on purpose: used during shutdown
  return *r;
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

LockAttempt acquire_dir_lock(const DirFd& dir, const std::string& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.forget_if_forked();
  const std::string path = join(dir.path(), name);
  if (r.held.count(path) != 0) return {true, 0};
  int fd = ::openat(dir.fd(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw UnsafeDirectoryError("The lock file " + path + " cannot be opened (" +
                               std::strerror(errno) + ").");
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    throw UnsafeDirectoryError("The lock file " + path + " is not a file of this user.");
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_SETLK, &lock) == 0) {
    r.held[path] = fd;
    return {true, 0};
  }
  LockAttempt attempt;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) attempt.holder = probe.l_pid;
  ::close(fd);
  if (attempt.holder == 0) attempt.holder = -1;  // released in between or unknown: still busy
  return attempt;
}

void release_dir_lock(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.forget_if_forked();
  auto it = r.held.find(path);
  if (it == r.held.end()) return;
  ::close(it->second);
  r.held.erase(it);
}

bool holds_dir_lock(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.forget_if_forked();
  return r.held.count(path) != 0;
}

}  // namespace orvane

namespace orvane {

namespace {

// Removes copies of this pipeline made by kernels that no longer run (their lock is free).
void remove_dead_copies(const DirFd& copies, const DirFd& locks, const std::string& folder,
                        const std::string& own) {
  const std::string prefix = folder + ".";
  int copy = ::dup(copies.fd());
  DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
  if (listing == nullptr) {
    if (copy >= 0) ::close(copy);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name.rfind(prefix, 0) == 0 && name != own &&
        name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
      names.push_back(name);
    }
  }
  ::closedir(listing);
  for (const std::string& name : names) {
    LockAttempt attempt = acquire_dir_lock(locks, name);
    if (!attempt.acquired) continue;
    remove_tree_at(copies, name);
    ::unlinkat(locks.fd(), name.c_str(), 0);
    release_dir_lock(join(locks.path(), name));
  }
}

PipelineDirectory claim(const std::string& root, const std::string& id, bool allow_root_link,
                        const std::string& manifest_name) {
  const std::string folder = pipeline_folder_name(id);
  DirFd base = open_root(root, allow_root_link);
  DirFd pipelines = open_private_child(base, "pipelines", true);
  DirFd locks = open_private_child(base, "locks", true);
  PipelineDirectory out;
  LockAttempt attempt = acquire_dir_lock(locks, folder);
  if (attempt.acquired) {
    out.lock_path = join(locks.path(), folder);
    out.existed = child_exists(pipelines, folder);
    DirFd dir = open_private_child(pipelines, folder, true);
    out.path = dir.path();
    return out;
  }
  out.copied_from = attempt.holder;
  const std::string own = folder + "." + std::to_string(::getpid());
  DirFd copies = open_private_child(base, "copies", true);
  remove_dead_copies(copies, locks, folder, own);
  // Another pipeline of this process made the copy already: it is handed over, as the main
  // directory is within one process.
  const bool ours = holds_dir_lock(join(locks.path(), own));
  if (!ours) remove_dead_copies(copies, locks, folder, own);
  if (!acquire_dir_lock(locks, own).acquired) {
    throw UnsafeDirectoryError("The lock file " + join(locks.path(), own) +
                               " is held by another process.");
  }
  out.lock_path = join(locks.path(), own);
  // Otherwise a copy under this name is a leftover of an earlier process with the same pid.
  if (!ours) remove_tree_at(copies, own);
  DirFd target = open_private_child(copies, own, true);
  out.path = target.path();
  if (!ours && child_exists(pipelines, folder)) {
    DirFd source = open_private_child(pipelines, folder, false);
    link_cache_folders(source, target, manifest_name);
  }
  out.existed = true;
  return out;
}

}  // namespace

PipelineDirectory claim_pipeline_directory(const std::string& root, const std::string& id,
                                           bool allow_root_link, const std::string& manifest_name) {
  try {
    return claim(root, id, allow_root_link, manifest_name);
  } catch (const UnsafeDirectoryError& e) {
    // The root is the user's choice (or its default): the way out is choosing a private one.
    throw UnsafeDirectoryError(std::string(e.what()) +
                               " Set ORVANE_TEMP_DIR to a private directory.");
  }
}

}  // namespace orvane
