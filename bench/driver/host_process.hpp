#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "reply_reader.hpp"
#include "unique_fd.hpp"

namespace quillbeam::bench {

using Clock = std::chrono::steady_clock;

// One running host: its standard input and output on pipes, its standard error in a file.
// A host still running at destruction is killed (with its process group) and reaped.
class HostProcess {
 public:
  // Starts argv (argv[0] looked up in PATH when it holds no slash) in a process group of
  // its own with exactly `environment`. Throws RunFailure when it cannot be started.
  HostProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              const std::filesystem::path& stderrPath);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes` to the host, reading its output meanwhile so that it never
  // blocks on a full pipe. With awaitHello, returns only once a host hello has been read
  // after them. Throws RunFailure when the host goes away or breaks its framing, when it
  // makes no progress for `stall` (reads nothing of ours, writes nothing, uses no CPU:
  // a host working through a backlog is busy, not dead), or when the whole exchange takes
  // more than twenty stalls.
  void exchange(std::string_view bytes, bool awaitHello, Clock::duration stall);

  // Ends the host's input, as a browser does when the port closes.
  void closeInput();

  // Waits for the host to exit and returns its wait status. Throws RunFailure when it
  // still runs after `limit`.
  int waitExit(Clock::duration limit);

 private:
  void readAvailable();
  void kill();

  UniqueFd input_;   // our end of the host's standard input
  UniqueFd output_;  // our end of the host's standard output
  pid_t pid_ = -1;
  UniqueFd pidfd_;  // exit notification, where the kernel offers it
  bool outputClosed_ = false;
  bool reaped_ = false;
  ReplyReader replies_;
};

}  // namespace quillbeam::bench
