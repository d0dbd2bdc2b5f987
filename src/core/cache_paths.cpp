// Private directories and identifier rules of the cache tree; see cache_paths.hpp.
#include "core/cache_paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace orvane {

namespace {

std::string os_error(int err) { return std::strerror(err); }

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Refuses what no cache directory may be: not ours, or writable by group or others. Each
// message says how to make the directory usable.
void check_owned(const struct stat& info, const std::string& path) {
  if (!S_ISDIR(info.st_mode)) {
    throw UnsafeDirectoryError("The cache directory " + path + " exists but is not a directory.");
  }
  if (info.st_uid != ::geteuid()) {
    throw UnsafeDirectoryError("The cache directory " + path + " belongs to another user (uid " +
                               std::to_string(info.st_uid) +
                               "); cached results are loaded from it, so it must be yours: its "
                               "owner (or root) can remove it.");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw UnsafeDirectoryError("The cache directory " + path + " has mode " + mode +
                               ": group or others may write it. Cached results are loaded from "
                               "it, so only its owner may write it: check what it holds, then "
                               "run chmod go-w '" +
                               path + "'.");
  }
}

// Explains why a no-follow open of a directory failed.
[[noreturn]] void throw_open_error(int dir_fd, const std::string& name, const std::string& path,
                                   int err) {
  struct stat info;
  const bool exists = ::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if ((err == ELOOP || err == ENOTDIR) && exists && S_ISLNK(info.st_mode)) {
    throw UnsafeDirectoryError("The cache directory " + path +
                               " is a symbolic link; links are never followed there.");
  }
  if (err == ENOTDIR && exists) {
    throw UnsafeDirectoryError("The cache directory " + path + " exists but is not a directory.");
  }
  throw UnsafeDirectoryError("The cache directory " + path + " cannot be used (" + os_error(err) +
                             ").");
}

// mkdir -p for the levels above the root; what is created here is ours and 0700.
void make_parents(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    ::mkdir(path.substr(0, pos).c_str(), 0700);
  }
}

}  // namespace

std::string identifier_problem(const std::string& id) {
  if (id.empty()) return "an identifier must not be empty";
  if (id.size() > kMaxIdentifierBytes) {
    return "an identifier may have at most " + std::to_string(kMaxIdentifierBytes) +
           " bytes (UTF-8), this one has " + std::to_string(id.size());
  }
  if (id.find('\0') != std::string::npos) return "an identifier must not contain a NUL byte";
  if (id.find('/') != std::string::npos) {
    return "an identifier must not contain '/', which would lead out of the cache directory";
  }
  return {};
}

std::string pipeline_folder_name(const std::string& id) {
  std::string problem = identifier_problem(id);
  if (!problem.empty()) {
    throw IdentifierError("The pipeline identifier cannot name its cache directory: " + problem +
                          ".");
  }
  return "pipeline-" + id;
}

DirFd::DirFd(DirFd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

DirFd& DirFd::operator=(DirFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

DirFd::~DirFd() {
  if (fd_ >= 0) ::close(fd_);
}

DirFd open_root(const std::string& root, bool allow_link) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (allow_link ? 0 : O_NOFOLLOW);
  bool created = false;
  int fd = ::open(root.c_str(), flags);
  if (fd < 0 && errno == ENOENT) {
    make_parents(root);
    created = ::mkdir(root.c_str(), 0700) == 0;
    fd = ::open(root.c_str(), flags);
  }
  if (fd < 0) throw_open_error(AT_FDCWD, root, root, errno);
  DirFd dir(fd, root);
  // Exactly 0700 whatever the umask, and only for a folder made here.
  if (created) ::fchmod(fd, 0700);
  struct stat info;
  if (::fstat(fd, &info) != 0) throw_open_error(AT_FDCWD, root, root, errno);
  check_owned(info, root);
  return dir;
}

DirFd open_private_child(const DirFd& parent, const std::string& name, bool create, bool* created) {
  const std::string path = join(parent.path(), name);
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  bool made = false;
  int fd = ::openat(parent.fd(), name.c_str(), flags);
  if (fd < 0 && errno == ENOENT && create) {
    made = ::mkdirat(parent.fd(), name.c_str(), 0700) == 0;
    fd = ::openat(parent.fd(), name.c_str(), flags);
  }
  if (fd < 0) throw_open_error(parent.fd(), name, path, errno);
  DirFd dir(fd, path);
  if (made) ::fchmod(fd, 0700);
  struct stat info;
  if (::fstat(fd, &info) != 0) throw_open_error(parent.fd(), name, path, errno);
  check_owned(info, path);
  // Ours and closed to writes (older builds made these 0755): nobody else could have put
  // anything in it, so it is only closed to reading as well.
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::fchmod(fd, 0700) != 0) {
    throw_open_error(parent.fd(), name, path, errno);
  }
  if (created != nullptr) *created = made;
  return dir;
}

bool child_exists(const DirFd& parent, const std::string& name) {
  struct stat info;
  return ::fstatat(parent.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

DirFd open_owned_directory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw_open_error(AT_FDCWD, path, path, errno);
  DirFd dir(fd, path);
  struct stat info;
  if (::fstat(fd, &info) != 0) throw_open_error(AT_FDCWD, path, path, errno);
  check_owned(info, path);
  return dir;
}

std::string unsafe_path_problem(const std::string& dir) {
  char* resolved = ::realpath(dir.c_str(), nullptr);
  if (resolved == nullptr && errno == ENOENT) return {};  // nothing there to distrust
  if (resolved == nullptr) {
    return "The cache directory " + dir + " cannot be used (" + os_error(errno) + ").";
  }
  std::string real = resolved;
  std::free(resolved);
  struct stat info;
  if (::stat(real.c_str(), &info) != 0) {
    return "The cache directory " + dir + " cannot be used (" + os_error(errno) + ").";
  }
  try {
    check_owned(info, dir);
  } catch (const UnsafeDirectoryError& e) {
    return e.what();
  }
  const uid_t me = ::geteuid();
  std::string level = real;
  while (level.size() > 1) {
    level = level.substr(0, std::max<std::size_t>(level.rfind('/'), 1));
    if (::stat(level.c_str(), &info) != 0) continue;
    const bool trusted_owner = info.st_uid == me || info.st_uid == 0;
    const bool open_to_others = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!trusted_owner || (open_to_others && (info.st_mode & S_ISVTX) == 0)) {
      return "The cache directory " + dir + " lies in " + level +
             ", which other users can change; cached results are loaded from there, so no one "
             "else may be able to replace it.";
    }
  }
  return {};
}

namespace {

// Entry names of an open directory, without "." and "..".
std::vector<std::string> list_names(int dir_fd) {
  std::vector<std::string> names;
  int copy = ::dup(dir_fd);
  if (copy < 0) return names;
  DIR* listing = ::fdopendir(copy);
  if (listing == nullptr) {
    ::close(copy);
    return names;
  }
  ::rewinddir(listing);
  while (struct dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(listing);
  return names;
}

bool remove_at(int parent_fd, const std::string& name, int depth) {
  struct stat info;
  if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return ::unlinkat(parent_fd, name.c_str(), 0) == 0;
  int fd = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = depth < 64;
  if (ok) {
    for (const std::string& child : list_names(fd)) ok = remove_at(fd, child, depth + 1) && ok;
  }
  ::close(fd);
  return ok && ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0;
}

bool link_folder(int source_fd, int target_fd, const std::string& name,
                 const std::string& manifest_name) {
  int from = ::openat(source_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) return false;
  DirFd source(from, name);
  struct stat info;
  if (::fstatat(from, manifest_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(info.st_mode)) {
    return false;
  }
  if (::mkdirat(target_fd, name.c_str(), 0700) != 0) return false;
  int to = ::openat(target_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (to < 0) return false;
  DirFd target(to, name);
  ::fchmod(to, 0700);
  bool manifest_linked = false;
  for (const std::string& file : list_names(from)) {
    // The manifest goes last: a folder missing a file must never look finished.
    if (file == manifest_name) continue;
    if (::fstatat(from, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(info.st_mode)) continue;
    if (::linkat(from, file.c_str(), to, file.c_str(), 0) != 0) return false;
  }
  manifest_linked = ::linkat(from, manifest_name.c_str(), to, manifest_name.c_str(), 0) == 0;
  return manifest_linked;
}

}  // namespace

namespace {

bool is_uuid(const std::string& text, std::size_t at) {
  static const char pattern[] = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  if (text.size() < at + sizeof pattern - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof pattern; ++i) {
    const char c = text[at + i];
    if (pattern[i] == '-' ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool is_product_cache_folder(const std::string& dir, const std::string& name,
                             const std::string& partial_prefix) {
  static const std::string folder = "component-";
  const std::size_t uuid_length = 36;
  std::size_t at = 0;
  if (name.rfind(partial_prefix, 0) == 0) {
    at = partial_prefix.size() + folder.size();
    if (name.compare(partial_prefix.size(), folder.size(), folder) != 0 ||
        name.size() <= at + uuid_length || name[at + uuid_length] != '-') {
      return false;
    }
  } else {
    at = folder.size();
    if (name.rfind(folder, 0) != 0 || name.size() != at + uuid_length) return false;
  }
  if (!is_uuid(name, at)) return false;
  int parent = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return false;
  DirFd holder(parent, dir);
  int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DirFd folder_fd(fd, name);
  for (const std::string& file : list_names(fd)) {
    struct stat info;
    if (::fstatat(fd, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
      return false;
    }
    if (!ends_with(file, ".bin") && !ends_with(file, ".json") && !ends_with(file, ".tmp")) {
      return false;
    }
  }
  return true;
}

bool remove_tree_at(const DirFd& parent, const std::string& name) {
  return remove_at(parent.fd(), name, 0);
}

std::vector<std::string> link_cache_folders(const DirFd& source, const DirFd& target,
                                            const std::string& manifest_name) {
  std::vector<std::string> copied;
  for (const std::string& name : list_names(source.fd())) {
    if (name.empty() || name[0] == '.') continue;
    struct stat info;
    if (::fstatat(source.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(info.st_mode) || child_exists(target, name)) {
      continue;
    }
    if (link_folder(source.fd(), target.fd(), name, manifest_name)) {
      copied.push_back(name);
    } else {
      remove_at(target.fd(), name, 0);
    }
  }
  return copied;
}

}  // namespace orvane
