#pragma once

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "scenarios.hpp"

namespace quillbeam::bench {

// The outcome of every run of one metric on one host.
struct Samples {
  std::vector<double> values;
  int failures = 0;
  std::string firstFailure;
};

struct Row {
  Metric metric;
  std::array<Samples, 2> hosts;
};

// Per metric the median with min and max of each host, the ratio of the second's median
// to the first's, the targets when asked for, then the failed runs.
// True when any run failed.
bool printReport(std::ostream& out, const std::vector<Row>& rows, const Options& options);

}  // namespace quillbeam::bench
