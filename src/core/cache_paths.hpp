// Where caches may live: names derived from identifiers, private directories, no links followed.
//
// Cached values are unpickled when they are loaded, so whoever can write a cache directory can
// run code in the kernel. Every directory below the application root is therefore opened one
// level at a time relative to its parent (openat with O_NOFOLLOW | O_DIRECTORY), created 0700
// whatever the umask, and refused when it is a link, belongs to someone else or lets group or
// others write it; one of ours that others may only read is closed to them (0700). The root
// itself is never changed: a root others can write is refused.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// An identifier that cannot name a directory; the message names the rule.
struct IdentifierError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// A directory that must not be trusted or cannot be used; the message says which and why.
struct UnsafeDirectoryError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Longest identifier, in UTF-8 bytes, that still leaves room for prefixes and suffixes within
// the 255-byte limit of a file name.
inline constexpr std::size_t kMaxIdentifierBytes = 200;

// Empty when `id` can be part of a file name; otherwise the rule it breaks.
std::string identifier_problem(const std::string& id);

// "pipeline-" + id, or IdentifierError naming the rule.
std::string pipeline_folder_name(const std::string& id);

// Owns an open directory descriptor.
class DirFd {
 public:
  DirFd() = default;
  DirFd(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  DirFd(DirFd&& other) noexcept;
  DirFd& operator=(DirFd&& other) noexcept;
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  ~DirFd();
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Opens the application root, creating missing levels 0700. The root must be a directory of
// the effective user that neither group nor others can write. A link as the last component is
// followed only when `allow_link` (a location the user chose; the shared default is not).
DirFd open_root(const std::string& root, bool allow_link);

// Opens the private subdirectory `name` of `parent`, creating it 0700 when `create` and it is
// missing. Refused: a link, something else than a directory, another owner, writes by group or
// others; an existing one that group or others may read is made 0700. `created` (optional)
// tells whether it was made now.
DirFd open_private_child(const DirFd& parent, const std::string& name, bool create,
                         bool* created = nullptr);

// True when `name` exists in `parent` (as anything, links included).
bool child_exists(const DirFd& parent, const std::string& name);

// A directory the user pointed at: a real directory of the effective user that neither group
// nor others can write. Returns it opened.
DirFd open_owned_directory(const std::string& path);

// Empty when nobody but the effective user can change what `dir` holds; otherwise why not.
// `dir` (links resolved) must be a directory of the user that group and others cannot write;
// each directory above it must belong to the user or to root and be closed to writes by others,
// or sticky (as /tmp is), so that no one else can swap a level for their own. A directory that
// does not exist has nothing to distrust.
std::string unsafe_path_problem(const std::string& dir);

// True for a folder this product's writer made, finished or not, even when its manifest is
// missing or damaged (as an interrupted clean-up leaves it): a real directory named "component-"
// plus a UUID (an unfinished write: `partial_prefix` + that + "-" + a suffix) that holds nothing
// but regular files with the writer's extensions. Anything else is never deleted as a cache.
bool is_product_cache_folder(const std::string& dir, const std::string& name,
                             const std::string& partial_prefix);

// Removes `name` in `parent` and, for a real directory, everything below it; links are removed
// as links, never followed. Errors are ignored; returns false when something stayed.
bool remove_tree_at(const DirFd& parent, const std::string& name);

// Hard-links every finished cache folder of `source` (a real directory holding a manifest,
// whose name does not start with a dot) into `target`, file by file, into folders created 0700.
// Links and anything not a regular file are skipped. Returns the folder names copied. A folder
// that vanishes or fails half-way is removed from the target and skipped.
std::vector<std::string> link_cache_folders(const DirFd& source, const DirFd& target,
                                            const std::string& manifest_name);

}  // namespace orvane
