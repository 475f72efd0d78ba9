#pragma once

#include <functional>

namespace quillbeam::platform {

// The main thread's run loop and its queue. Blocks posted from any thread run once each
// on the main thread, one at a time, in the order they were posted.
class MainLoop {
 public:
  virtual ~MainLoop() = default;

  // Thread-safe.
  virtual void post(std::function<void()> block) = 0;

  // Runs the loop on the calling (main) thread. Returns only if the loop stops, which the
  // bridge never asks for; the process ends from inside a block instead.
  virtual void run() = 0;
};

}  // namespace quillbeam::platform
