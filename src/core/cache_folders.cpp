// Plain file work on cache folders; see cache_folders.hpp.
#include "core/cache_folders.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/cache_paths.hpp"

namespace orvane {

FileError::FileError(int error, std::string where)
    : std::runtime_error(std::string(std::strerror(error)) + ": " + where),
      err(error),
      path(std::move(where)) {}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string absolute_path(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::string cwd(4096, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) throw FileError(errno, ".");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    full = join_path(cwd, path);
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= full.size()) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::vector<std::string> list_directory(const std::string& dir) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) throw FileError(errno, dir);
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  const int err = errno;
  ::closedir(listing);
  if (err != 0) throw FileError(err, dir);
  return names;
}

EntryKind inspect(const std::string& path, bool follow_links) {
  EntryKind kind;
  struct stat info;
  const int r = follow_links ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
  if (r != 0) return kind;
  kind.exists = true;
  kind.is_dir = S_ISDIR(info.st_mode);
  kind.is_file = S_ISREG(info.st_mode);
  kind.mtime = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec * 1e-9;
  return kind;
}

namespace {

// Splits `path` into its parent folder and last name ("/a/b/" -> "/a", "b").
std::pair<std::string, std::string> split(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

bool remove_directory(const std::string& path) {
  auto [parent, name] = split(path);
  if (name.empty() || name == "." || name == "..") return false;
  const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DirFd holder(fd, parent);
  struct stat info;
  if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return false;
  return remove_tree_at(holder, name);
}

void remove_if_left_empty(const std::string& dir, const std::string& only_file) {
  std::vector<std::string> left;
  try {
    left = list_directory(dir);
  } catch (const FileError&) {
    return;
  }
  if (left.size() > 1) return;
  if (left.size() == 1) {
    const std::string file = join_path(dir, only_file);
    if (left[0] != only_file || !inspect(file).is_file) return;
    if (::unlink(file.c_str()) != 0) return;
  }
  ::rmdir(dir.c_str());
}

std::string random_uuid() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // No kernel source of randomness: the name needs to be unique, not secret.
      std::random_device device;
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace orvane
