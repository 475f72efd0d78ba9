#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host_process.hpp"
#include "proc_status.hpp"
#include "temp_dir.hpp"

namespace quillbeam::bench {

struct Host {
  std::string name;
  std::vector<std::string> argv;
};

// What every run of every host shares.
struct RunSettings {
  std::vector<std::string> environment;  // passed to hosts, HOME added per run
  Clock::duration stall = std::chrono::seconds(10);
  Clock::duration settle = std::chrono::milliseconds(25);
};

// One run of one host on a throwaway HOME, removed with all the host wrote when the run
// ends. Operations throw RunFailure when the host misbehaves.
class HostRun {
 public:
  // Prepares the directory; start() spawns, so that callers can time the spawn alone.
  HostRun(const Host& host, const RunSettings& settings);

  void start();
  HostProcess& process() { return *process_; }

  // Sends `bytes`; with awaitHello, returns once a hello reply has arrived after them.
  void send(std::string_view bytes, bool awaitHello);
  // Sends the extension's hello and waits for the reply.
  void hello();
  // Waits the settle time, then reads the host's memory.
  MemoryUse settledMemory();
  // Ends the host's input and returns milliseconds until it exited; fails unless it
  // exited with status 0.
  double closeAndWait();

  // The last line the host wrote to standard error, for failure reports; may be empty.
  std::string lastErrorLine() const;

 private:
  const Host& host_;
  const RunSettings& settings_;
  TempDir dir_;
  std::unique_ptr<HostProcess> process_;
};

double millisecondsBetween(Clock::time_point from, Clock::time_point to);

}  // namespace quillbeam::bench
