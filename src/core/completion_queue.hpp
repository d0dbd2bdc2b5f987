// A queue that other threads fill with finished work and one owner drains, waiting without
// spinning.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace orvane::run {

// Producers push from any thread; the owner takes everything pushed so far, waiting at most a
// given time for the first item. The wait is bounded so that the owner can look at other things
// (signals, dead workers) between waits. Items are moved, never copied, under the lock; an item
// whose destructor needs a caller-side lock (a Python object) must be pushed and taken with that
// lock held, never while waiting.
template <typename T>
class CompletionQueue {
 public:
  // Never blocks for long: only for the lock, which the owner holds briefly.
  void push(T item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
  }

  // Waits until an item is there or `timeout` has passed; true when an item is there.
  template <typename Rep, typename Period>
  bool wait(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ready_.wait_for(lock, timeout, [this] { return !items_.empty(); });
  }

  // Everything pushed so far, in push order, without waiting.
  std::vector<T> take() {
    std::vector<T> out;
    std::lock_guard<std::mutex> lock(mutex_);
    out.reserve(items_.size());
    for (auto& item : items_) out.push_back(std::move(item));
    items_.clear();
    return out;
  }

  bool empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
};

}  // namespace orvane::run
