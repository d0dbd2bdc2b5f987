// Which process owns a cache directory: an advisory lock held by the owning kernel.
//
// POSIX record locks (fcntl F_SETLK) belong to a process: a forked child does not hold them, and
// they vanish when the owner dies, so a crashed kernel never blocks its successor. They are also
// dropped when the process closes any descriptor of the file, which is why each lock file is
// opened once per process, through this registry.
#pragma once

#include <sys/types.h>

#include <string>

#include "core/cache_paths.hpp"

namespace orvane {

struct LockAttempt {
  bool acquired = false;  // this process holds the lock now (or already did)
  pid_t holder = 0;       // the other process holding it, when not acquired
};

// Locks the file `name` in `dir` (created 0600, never through a link) for this process. The
// key that later releases it is the file's path.
LockAttempt acquire_dir_lock(const DirFd& dir, const std::string& name);

// Releases a lock this process took; no effect when it holds none under that path, or in a
// forked child (which never held its parent's locks).
void release_dir_lock(const std::string& path);

// True when this process holds the lock under that path.
bool holds_dir_lock(const std::string& path);

}  // namespace orvane

namespace orvane {

// The cache directory a new pipeline gets.
struct PipelineDirectory {
  std::string path;
  bool existed = false;   // there is something to adopt in it
  pid_t copied_from = 0;  // another live kernel owns the pipeline's directory: this is a copy
  std::string lock_path;  // released when the pipeline lets go of the directory
};

// Claims <root>/pipelines/pipeline-<id> for this process. When another live process holds it,
// the pipeline gets <root>/copies/pipeline-<id>.<pid> instead, holding hard links to the
// owner's finished caches: it adopts what exists without ever deleting what the owner uses.
// Copies left by kernels that died are removed on the way. Throws IdentifierError or
// UnsafeDirectoryError, whose message ends with how to choose another root.
PipelineDirectory claim_pipeline_directory(const std::string& root, const std::string& id,
                                           bool allow_root_link, const std::string& manifest_name);

}  // namespace orvane
