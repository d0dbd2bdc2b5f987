// Whether this process is a fork of the one that loaded the module.
//
// Cache directories belong to the process that created the pipeline. A child forked from a
// kernel (os.fork, a fork-started pool worker, a library that forks) inherits the pipelines and
// their components, and with them their exit handlers and finalisers: it must never delete what
// its parent still uses.
#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace orvane::fork_guard {

// Set when the module is loaded (call it from the module's init function).
inline pid_t& loaded_pid() {
  static pid_t pid = ::getpid();
  return pid;
}

inline bool in_forked_child() { return ::getpid() != loaded_pid(); }

}  // namespace orvane::fork_guard
