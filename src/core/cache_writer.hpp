// The background cache writer: one thread, one task queue, cancel by component and count.
//
// Threads: every public method runs on the owner's thread (the kernel's main thread); the
// worker thread only runs worker_loop(). mutex_ guards queue_, messages_, retired_, current_,
// and the state flags; the worker holds it only to pop a task and to post its outcome, never
// while writing, so put/cancel/drain never wait for the disk. Cancel and crash signals reach a
// write in progress through atomics the writer polls between chunks.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/cache_store.hpp"

namespace orvane {

struct WriteTask {
  std::uint64_t ticket = 0;  // given by put(); lets the owner release the task's buffers
  WriteRequest request;
};

struct DoneMessage {
  bool is_stopped = false;
  std::string component_id;
  std::int64_t success_count = 0;
  std::string cache_dir;
  bool is_successful = false;
  std::string msg;
};

struct Drained {
  std::vector<DoneMessage> messages;
  // Tasks the writer no longer touches (written, failed, cancelled or dropped): their buffers
  // may be released now.
  std::vector<std::uint64_t> retired;
};

class CacheWriter {
 public:
  CacheWriter() = default;
  ~CacheWriter();
  CacheWriter(const CacheWriter&) = delete;
  CacheWriter& operator=(const CacheWriter&) = delete;

  // Accepts tasks from now on (they queue until start()); a fresh cycle after close().
  void open();
  // Launches the worker thread; no effect when it already runs or open() was not called.
  void start();
  // Stops accepting, drops queued tasks (each gets a failed message), waits for the write in
  // progress and joins the thread. Messages of finished work stay for drain().
  void close();
  bool is_alive() const;

  // Queues a write; returns 0 when refused (not open, closed, or the thread has died).
  std::uint64_t put(WriteRequest request);
  // Withdraws the queued or running write of this component and count; true when one matched.
  bool cancel(const std::string& component_id, std::int64_t success_count);
  // Takes the messages and retired tickets collected so far.
  Drained drain();

  // Test hooks: "die_mid_write" makes the thread stop inside its next blob, as a crash would;
  // "hold" keeps queued tasks from starting until "release", so a test can act on a known state.
  bool inject_fault(const std::string& name);

 private:
  void worker_loop();
  // True in a process forked from the one that started the thread: there the thread does not
  // exist and the mutex may have been copied locked, so neither may be touched.
  bool forked() const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WriteTask> queue_;
  std::vector<DoneMessage> messages_;
  std::vector<std::uint64_t> retired_;
  std::thread thread_;
  pid_t owner_pid_ = 0;
  std::uint64_t next_ticket_ = 1;
  std::uint64_t current_ticket_ = 0;
  std::string current_component_;
  std::int64_t current_count_ = 0;
  bool accepting_ = false;
  bool stopping_ = false;
  bool running_ = false;
  bool died_ = false;
  bool died_reported_ = false;
  bool held_ = false;
  std::atomic<bool> cancel_current_{false};
  std::atomic<bool> die_{false};
};

// True when a queued task's type asks to withdraw a write: "cancel" in any case; any other
// type (UTF-8 text) queues one.
bool is_cancel_task(std::string_view task_type);

}  // namespace orvane
