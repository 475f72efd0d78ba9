#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbeam::bench {

using Clock = std::chrono::steady_clock;

// A host did not do what a measurement needs (did not start, died, stalled, broke the
// framing). The run counts as failed, with this text as the reason.
struct RunFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One frame: the 4-byte little-endian length, then the payload. No size limit: the driver
// may send what a host must refuse.
std::string frame(std::string_view payload);

struct MemoryUse {
  long residentKiB = 0;  // VmRSS
  long peakKiB = 0;      // VmHWM, the most ever resident
};

// From /proc/<pid>/status; absent when the process is gone.
std::optional<MemoryUse> memoryUse(pid_t pid);

// A fresh directory in the temporary directory, removed with all in it at destruction.
struct ScratchDir {
  std::filesystem::path path;
  explicit ScratchDir(const std::string& prefix);  // throws RunFailure
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
};

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// One running host with its standard input and output on pipes and its standard error
// appended to a file, in a process group of its own with exactly `environment` and no other
// descriptors. Killed with its group and reaped at destruction if still running.
class HostProcess {
 public:
  HostProcess(const std::string& program, const std::vector<std::string>& environment,
              const std::filesystem::path& stderrPath);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes`, reading the host's output meanwhile so that it never blocks on a
  // full pipe; with awaitHello, returns once a host hello has been read after them. Throws
  // RunFailure when the host goes away, breaks its framing, or moves no byte for `stall`.
  void exchange(std::string_view bytes, bool awaitHello, Clock::duration stall);

  // Ends the host's input, as a browser does when the port closes, and returns the wait
  // status once it exits. Throws RunFailure when it still runs after `limit`.
  int finish(Clock::duration limit);

 private:
  bool takeHello();

  pid_t pid_ = -1;
  bool reaped_ = false;
  UniqueFd input_;
  UniqueFd output_;
  std::string replies_;  // output not yet cut into frames
};

}  // namespace quillbeam::bench
