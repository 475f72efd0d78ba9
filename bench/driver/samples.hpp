#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillbeam::bench {

// Median with the extremes of one metric's runs.
struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
};

// The outcome of every run of one metric on one host.
struct Samples {
  std::vector<double> values;
  int failures = 0;
  std::string firstFailure;

  void add(double value) { values.push_back(value); }
  void fail(const std::string& why) {
    if (failures++ == 0) firstFailure = why;
  }
  int runs() const { return static_cast<int>(values.size()) + failures; }

  // Absent when no run succeeded. The median of an even count is the mean of the middle two.
  std::optional<Summary> summary() const;
};

}  // namespace quillbeam::bench
