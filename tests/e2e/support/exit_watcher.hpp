#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillbeam::testing {

// How a process ended.
struct ProcessEnd {
  // False when the process could only be seen to go (it could not be traced).
  bool statusKnown = false;
  int exitCode = -1;  // when it exited
  int signal = 0;     // when a signal killed it
};

// Follows a process that is not our child (a host the browser started) to its end. It
// traces the process, which is the only way to learn another parent's child's exit
// status; where tracing is not allowed it falls back to seeing the process go.
class ExitWatcher {
 public:
  explicit ExitWatcher(pid_t pid);
  // Kills the process if it is still running, so the watching thread can end.
  ~ExitWatcher();
  ExitWatcher(const ExitWatcher&) = delete;
  ExitWatcher& operator=(const ExitWatcher&) = delete;

  // Why tracing was not possible, or empty when it is.
  const std::string& traceProblem() const { return traceProblem_; }

  // The end of the process, or nothing when it still runs after `timeout`.
  std::optional<ProcessEnd> wait(std::chrono::milliseconds timeout);

 private:
  void trace();
  void watchWithoutTracing();
  void finish(ProcessEnd end);

  pid_t pid_;
  std::string traceProblem_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool attachDecided_ = false;
  std::optional<ProcessEnd> end_;
  std::thread thread_;
};

}  // namespace quillbeam::testing
