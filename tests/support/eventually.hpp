#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quillbeam::testing {

// Checks `done` until it holds, calling `wait` between checks (by default a short sleep;
// an event loop's turn where the answer comes from the loop). False when it still did not
// hold after `bound`, which only ends a broken test.
inline bool eventually(const std::function<bool()>& done, const std::function<void()>& wait = {},
                       std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (wait) {
      wait();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

}  // namespace quillbeam::testing
