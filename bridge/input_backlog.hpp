#pragma once

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

  // Reader thread: waits while the backlog is over the limit, then counts `bytes` in.
  void admit(size_t bytes) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return pending_ <= limit_; });
    pending_ += bytes;
  }

  // Main thread: a message of `bytes` has been handled.
  void release(size_t bytes) {
    {
      std::lock_guard lock(mutex_);
      pending_ -= bytes;
    }
    room_.notify_one();
  }

 private:
  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable room_;
  size_t pending_ = 0;
};

}  // namespace quillbeam::bridge
