#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "samples.hpp"

namespace quillbeam::bench {

// What a host should reach on one metric, when the table shows targets.
struct Target {
  enum class Kind { ratioAtMost, ratioAtLeast, valueAtMost, valueBelow };
  Kind kind;
  double bound;
};

struct Metric {
  std::string key;
  std::string label;
  std::string unit;
  std::optional<Target> target;
};

// Every metric's samples for up to two hosts, in the order the metrics were declared.
class Results {
 public:
  struct Row {
    Metric metric;
    std::array<Samples, 2> hosts;
  };

  void declare(Metric metric);
  // Throws std::out_of_range for a key never declared.
  Samples& at(const std::string& key, int host);
  const std::vector<Row>& rows() const { return rows_; }
  bool anyFailure() const;

 private:
  std::vector<Row> rows_;
};

// Records one run's values for one host. Keys the run promised but never put count as
// failed, with the reason given to fail() or "run ended early".
class RunLog {
 public:
  RunLog(Results& results, int host, std::vector<std::string> keys);
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  void put(const std::string& key, double value);
  void fail(const std::string& why) { why_ = why; }

 private:
  Results& results_;
  int host_;
  std::vector<std::string> pending_;
  std::string why_ = "run ended early";
};

}  // namespace quillbeam::bench
