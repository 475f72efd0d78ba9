#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/event_loop.hpp"

namespace quillbeam::bridge::platform::testing {

// Turns the loop on the calling thread until `done` holds or `timeout` passed; true when
// it holds. The deadline only keeps a broken test from hanging.
inline bool runUntil(EventLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.turn(std::chrono::milliseconds(20));
  }
  return true;
}

// Collects the platform's log lines; safe from any thread.
class LogLines {
 public:
  std::function<void(std::string_view)> sink() {
    return [this](std::string_view line) {
      std::lock_guard guard(lock_);
      lines_.emplace_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

}  // namespace quillbeam::bridge::platform::testing
