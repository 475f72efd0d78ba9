#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace quillbeam::bridge {

// Bounds what the reader thread has queued for the main thread. When the browser sends
// faster than messages are handled, the reader waits, so the pipe pushes back on the
// browser instead of the queue growing without limit. Nothing is dropped.
class InputBacklog {
 public:
  explicit InputBacklog(size_t limitBytes) : limit_(limitBytes) {}

  // Reader thread: once the backlog is over the limit, waits until it is down to half,
  // then counts `bytes` in. Below the limit, which is nearly always, it takes no lock:
  // both threads touch the backlog once per message, and a shared lock made them wait for
  // each other. Resuming only at half keeps a full backlog from waking the reader for
  // every message handled.
  void admit(size_t bytes) {
    if (pending_.load(std::memory_order_acquire) > limit_) {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) <= resume(); });
    }
    pending_.fetch_add(bytes, std::memory_order_acq_rel);
  }

  // Main thread: a message of `bytes` has been handled.
  void release(size_t bytes) {
    const size_t before = pending_.fetch_sub(bytes, std::memory_order_acq_rel);
    // Only the release that brings the backlog down to half can end a wait. The lock
    // orders it with the reader's check, so the wake-up cannot fall between the check and
    // the wait.
    if (before > resume() && before - bytes <= resume()) {
      std::lock_guard lock(mutex_);
      room_.notify_one();
    }
  }

 private:
  size_t resume() const { return limit_ / 2; }

  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::atomic<size_t> pending_{0};
};

}  // namespace quillbeam::bridge
