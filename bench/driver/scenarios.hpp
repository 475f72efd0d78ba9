#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_process.hpp"

namespace quillbeam::bench {

// The command line, and what every run of every host shares.
struct Options {
  std::string programs[2];  // the reference host, the host judged against it
  std::string names[2];
  int startupRuns = 25;
  int throughputRuns = 7;
  int messages = 2000;
  int largeRuns = 5;
  int growthRuns = 0;
  int growthMessages = 100'000;
  int settleMs = 25;
  int timeoutSeconds = 10;
  bool targets = false;
  std::vector<std::string> environment;  // for the hosts; HOME is added per run
};

// One run of one host on a throwaway HOME, removed with all the host wrote when the run
// ends. Every step throws RunFailure when the host misbehaves.
class HostRun {
 public:
  HostRun(std::string program, const Options& options);

  // Spawns the host; apart from the constructor so that the spawn can be timed alone.
  void start();
  // Sends `bytes`, which end in a hello, and waits for the reply to it.
  void send(std::string_view bytes);
  // Waits the settle time, then reads the host's memory in MiB.
  std::pair<double, double> residentAndPeakMiB();
  // Ends the host's input and returns the milliseconds until it exited with status 0.
  double finish();
  // The last line the host wrote to standard error, for failure reports; may be empty.
  std::string lastErrorLine() const;

 private:
  std::string program_;
  const Options& options_;
  ScratchDir home_;
  std::unique_ptr<HostProcess> process_;  // ended before home_ goes
};

// What the judged host (the second) should reach on one metric: its median, or with
// ofRatio the ratio of the medians, compared by `op` ("<=", ">=" or "<") with the limit.
struct Target {
  std::string op;
  double limit;
  bool ofRatio;
};

struct Metric {
  std::string label;
  std::string unit;
  std::optional<Target> target = std::nullopt;
};

// One kind of measurement. A run appends one value per metric, in order, and throws
// RunFailure when the host fails it: the metrics it did not reach count as failed.
struct Scenario {
  int runs;
  std::vector<Metric> metrics;
  std::function<void(HostRun&, std::vector<double>&)> run;
};

// Spawn to hello reply, idle memory and exit; the message rate; 1, 4 and 8 MiB messages;
// memory growth under a long stream. The first scenario is the lifecycle, even at 0 runs.
std::vector<Scenario> scenarios(const Options& options);

double millisecondsSince(Clock::time_point start);

}  // namespace quillbeam::bench
