#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host_run.hpp"
#include "results.hpp"

namespace quillbeam::bench {

// One kind of measurement. run() starts the prepared host, measures, and puts one value
// per metric into the log; it throws RunFailure when the host fails it.
class Scenario {
 public:
  virtual ~Scenario() = default;
  virtual std::vector<Metric> metrics(bool withTargets) const = 0;
  virtual int runs() const = 0;
  virtual void run(HostRun& host, RunLog& log) const = 0;
};

// Spawn to hello reply, memory once idle, exit latency after end of input.
class LifecycleScenario : public Scenario {
 public:
  explicit LifecycleScenario(int runs) : runs_(runs) {}
  std::vector<Metric> metrics(bool withTargets) const override;
  int runs() const override { return runs_; }
  void run(HostRun& host, RunLog& log) const override;

 private:
  int runs_;
};

// Persisted state messages per second: a burst of state reports, then a hello whose reply
// shows that every report before it was handled.
class ThroughputScenario : public Scenario {
 public:
  ThroughputScenario(int runs, size_t messages);
  std::vector<Metric> metrics(bool withTargets) const override;
  int runs() const override { return runs_; }
  void run(HostRun& host, RunLog& log) const override;

 private:
  int runs_;
  size_t messages_;
  std::string burst_;  // the framed reports followed by a framed hello
};

// Time to handle one large state report: the report and a hello, until the hello reply.
class LargeMessageScenario : public Scenario {
 public:
  LargeMessageScenario(int runs, std::vector<size_t> sizes);
  std::vector<Metric> metrics(bool withTargets) const override;
  int runs() const override { return runs_; }
  void run(HostRun& host, RunLog& log) const override;

 private:
  int runs_;
  std::vector<size_t> sizes_;
  std::vector<std::string> frames_;  // per size: the framed report followed by a framed hello
};

// Resident memory after a long stream of state reports, against the idle host. The
// reports go in blocks, each closed by a hello whose reply is awaited, so that the host
// never holds more than one block unhandled: what grows is the host, not a backlog.
class GrowthScenario : public Scenario {
 public:
  GrowthScenario(int runs, size_t messages);
  std::vector<Metric> metrics(bool withTargets) const override;
  int runs() const override { return runs_; }
  void run(HostRun& host, RunLog& log) const override;

 private:
  static constexpr size_t blockSize = 1000;

  int runs_;
  size_t blocks_;      // the whole run
  size_t warmBlocks_;  // the first tenth, after which memory is read once more
  std::string block_;  // blockSize framed reports and a framed hello
};

}  // namespace quillbeam::bench
