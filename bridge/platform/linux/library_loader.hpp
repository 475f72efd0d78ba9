#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/linux/bus_library.hpp"

namespace quillbeam::bridge::platform {

// Loads the bus library, or throws std::runtime_error with the reason.
using BusLibraryLoader = std::function<std::unique_ptr<const BusLibrary>()>;

// Runs a BusLibraryLoader on a thread of its own, so that start-up never waits for the
// dynamic linker. The thread starts at once but loads only when told to begin, or once
// `startAfter` passed: loading in parallel still slows the process down (page faults
// wait while the linker maps and relocates), so it is kept out of the first work. The
// outcome is handed over once, to the first caller of take().
class LibraryLoader {
 public:
  struct Outcome {
    std::unique_ptr<const BusLibrary> library;  // null when loading failed
    std::string error;                          // why it failed
  };

  // `loaded` runs on the loader's thread when the outcome is ready. Throws
  // std::system_error when the thread cannot be started.
  LibraryLoader(BusLibraryLoader load, std::function<void()> loaded,
                std::chrono::milliseconds startAfter);
  LibraryLoader(const LibraryLoader&) = delete;
  LibraryLoader& operator=(const LibraryLoader&) = delete;
  // Waits for the thread; one that has not begun loading yet does not load.
  ~LibraryLoader();

  // Loads now if it has not begun yet. Thread-safe.
  void begin();

  // Begins, and waits at most `timeout` for the outcome; absent when it is not ready by
  // then (or was taken before).
  std::optional<Outcome> take(std::chrono::milliseconds timeout);

 private:
  void work(const BusLibraryLoader& load, const std::function<void()>& loaded,
            std::chrono::milliseconds startAfter);

  std::mutex lock_;
  std::condition_variable changed_;
  bool begun_ = false;              // guarded by lock_
  bool stopping_ = false;           // guarded by lock_
  std::optional<Outcome> outcome_;  // guarded by lock_
  bool taken_ = false;              // guarded by lock_
  std::thread thread_;              // last: starts once the rest is in place
};

}  // namespace quillbeam::bridge::platform
