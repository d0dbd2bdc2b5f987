// Worker thread and queue of the background cache writer.
#include "core/cache_writer.hpp"

#include <unistd.h>

#include <cctype>
#include <exception>
#include <new>
#include <utility>

namespace orvane {

CacheWriter::~CacheWriter() {
  if (forked()) {
    // The thread belongs to the parent, and the condition variable records the parent thread
    // as its waiter: destroying it here would wait for that thread forever (or abort), and the
    // mutex may have been copied locked. Fresh empty objects take their place; the copies of
    // the parent's are left alone.
    new (&thread_) std::thread();
    new (&wake_) std::condition_variable();
    new (&mutex_) std::mutex();
    return;
  }
  close();
}

bool CacheWriter::forked() const { return owner_pid_ != 0 && owner_pid_ != ::getpid(); }

void CacheWriter::open() {
  if (forked()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && !died_) return;  // already open and running
  running_ = false;                // a died thread is reaped by start()
  accepting_ = true;
  stopping_ = false;
  died_ = false;
  died_reported_ = false;
  die_.store(false);
}

void CacheWriter::start() {
  if (forked()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!accepting_ || running_) return;
  if (thread_.joinable()) {
    // A thread that died is finished; reap it before starting anew.
    lock.unlock();
    thread_.join();
    lock.lock();
  }
  running_ = true;
  owner_pid_ = ::getpid();
  thread_ = std::thread(&CacheWriter::worker_loop, this);
}

void CacheWriter::close() {
  if (forked()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accepting_ = false;
    stopping_ = true;
    for (WriteTask& task : queue_) {
      messages_.push_back({false, task.request.component_id, task.request.success_count,
                           task.request.cache_dir, false,
                           "The disk-cache writer was closed before this write started."});
      retired_.push_back(task.ticket);
    }
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
}

bool CacheWriter::is_alive() const {
  if (forked()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return running_ && !died_;
}

std::uint64_t CacheWriter::put(WriteRequest request) {
  if (forked()) return 0;
  std::uint64_t ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!accepting_ || died_) return 0;
    ticket = next_ticket_++;
    queue_.push_back({ticket, std::move(request)});
  }
  wake_.notify_one();
  return ticket;
}

bool CacheWriter::cancel(const std::string& component_id, std::int64_t success_count) {
  if (forked()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  bool matched = false;
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->request.component_id == component_id && it->request.success_count == success_count) {
      retired_.push_back(it->ticket);
      it = queue_.erase(it);
      matched = true;
    } else {
      ++it;
    }
  }
  if (current_ticket_ != 0 && current_component_ == component_id &&
      current_count_ == success_count) {
    cancel_current_.store(true);
    matched = true;
  }
  return matched;
}

Drained CacheWriter::drain() {
  if (forked()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  Drained out;
  out.messages.swap(messages_);
  out.retired.swap(retired_);
  if (died_ && !died_reported_) {
    died_reported_ = true;
    DoneMessage stopped;
    stopped.is_stopped = true;
    stopped.msg = "The disk-cache writer stopped unexpectedly.";
    out.messages.push_back(std::move(stopped));
  }
  return out;
}

bool CacheWriter::inject_fault(const std::string& name) {
  if (name == "die_mid_write") {
    die_.store(true);
    return true;
  }
  if (name != "hold" && name != "release") return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = name == "hold";
  }
  wake_.notify_all();
  return true;
}

void CacheWriter::worker_loop() {
  for (;;) {
    WriteTask task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || (!queue_.empty() && !held_); });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
      current_ticket_ = task.ticket;
      current_component_ = task.request.component_id;
      current_count_ = task.request.success_count;
      cancel_current_.store(false);
    }
    WriteOutcome outcome;
    try {
      WriteSignals signals{&cancel_current_, &die_};
      outcome = write_cache_directory(task.request, signals);
    } catch (const std::exception& e) {
      // Out of memory or similar: the thread cannot be trusted to go on.
      outcome = {WriteStatus::kDied, e.what()};
    } catch (...) {
      outcome = {WriteStatus::kDied, "unknown failure"};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    current_ticket_ = 0;
    current_component_.clear();
    if (outcome.status == WriteStatus::kDied) {
      // The buffers of the interrupted task are still referenced by the owner; they are
      // retired so it can let go, just as after a real crash of the writer.
      retired_.push_back(task.ticket);
      died_ = true;
      accepting_ = false;
      for (WriteTask& queued : queue_) retired_.push_back(queued.ticket);
      queue_.clear();
      return;
    }
    retired_.push_back(task.ticket);
    if (outcome.status == WriteStatus::kCancelled) continue;
    const bool ok = outcome.status == WriteStatus::kWritten;
    messages_.push_back({false, task.request.component_id, task.request.success_count,
                         task.request.cache_dir, ok, ok ? "" : outcome.error});
  }
}

bool is_cancel_task(std::string_view task_type) {
  // Only ASCII letters lower-case to the letters of "cancel", so comparing bytes
  // case-insensitively is comparing the lower-cased text.
  constexpr std::string_view kCancel = "cancel";
  if (task_type.size() != kCancel.size()) return false;
  for (std::size_t i = 0; i < kCancel.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(task_type[i])) != kCancel[i]) return false;
  }
  return true;
}

}  // namespace orvane
