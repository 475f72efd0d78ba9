#include "samples.hpp"

#include <algorithm>

namespace quillbeam::bench {

std::optional<Summary> Samples::summary() const {
  if (values.empty()) return std::nullopt;
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  return Summary{median, sorted.front(), sorted.back()};
}

}  // namespace quillbeam::bench
