#pragma once

// Repeated measurements as the companion's figures are reported: median (min–max), and
// beside a floor measured in the same run, the ratio of the medians.
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillbeam::companion::bench {

inline double median(std::vector<double> values) {
  if (values.empty()) throw std::logic_error("no measurements to summarise");
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "6.49 ms (6.25–15.01)"
inline std::string range(const std::vector<double>& values, const char* unit, int decimals) {
  const double middle = median(values);
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  char text[128];
  std::snprintf(text, sizeof text, "%.*f %s (%.*f–%.*f)", decimals, middle, unit, decimals, *low,
                decimals, *high);
  return text;
}

inline std::string summary(const std::vector<double>& values, const char* unit, int decimals = 1) {
  return range(values, unit, decimals) + ", " + std::to_string(values.size()) + " runs";
}

// "6.49 ms (6.25–15.01), floor 2.10 ms (1.90–3.02), 3.1x, 15 runs"
inline std::string besideFloor(const std::vector<double>& values, const std::vector<double>& floor,
                               const char* unit, int decimals = 1) {
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.1fx", median(values) / median(floor));
  return range(values, unit, decimals) + ", floor " + range(floor, unit, decimals) + ", " + ratio +
         ", " + std::to_string(values.size()) + " runs";
}

}  // namespace quillbeam::companion::bench
