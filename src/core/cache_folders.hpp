// File work on cache folders that needs no Python: listing, inspecting, naming and removing
// them, never through a symbolic link.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// A failed system call on a path; `err` is the errno value, so callers can raise the error the
// platform's own file functions would.
struct FileError : std::runtime_error {
  FileError(int err, std::string path);
  int err;
  std::string path;
};

// `dir` + "/" + `name`, without doubling a trailing slash.
std::string join_path(const std::string& dir, const std::string& name);

// The absolute, lexically normalised form of `path` ("." and ".." folded, no trailing slash);
// links are not resolved, so two spellings of one folder compare equal without touching it.
std::string absolute_path(const std::string& path);

// Entry names of the directory `dir`, in the order the file system lists them.
std::vector<std::string> list_directory(const std::string& dir);

// What stands at `path`; a link is followed only when `follow_links`.
struct EntryKind {
  bool exists = false;
  bool is_dir = false;   // a real directory, not a link to one
  bool is_file = false;  // a real regular file
  double mtime = 0.0;    // seconds since the epoch
};
EntryKind inspect(const std::string& path, bool follow_links = false);

// Removes the real directory `path` with everything below it; links inside are removed as
// links. A link or anything else at `path` itself is left alone, as are errors: returns false
// when something stayed.
bool remove_directory(const std::string& path);

// Removes `dir` when it holds nothing, or nothing but the regular file `only_file`, which then
// goes too. Anything else in it keeps it. Errors are ignored.
void remove_if_left_empty(const std::string& dir, const std::string& only_file);

// A random (version 4) UUID in its canonical lower-case text form.
std::string random_uuid();

}  // namespace orvane
