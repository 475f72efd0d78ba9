#pragma once

#include <ostream>
#include <vector>

#include "host_run.hpp"
#include "results.hpp"

namespace quillbeam::bench {

// The table of medians with min and max per host, the ratio of the second host to the
// first, targets where the metrics carry them, and the failures after it.
void printReport(std::ostream& out, const Results& results, const std::vector<Host>& hosts);

}  // namespace quillbeam::bench
