#pragma once

// Repeated measurements as the companion's figures are reported: median (min–max).
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillbeam::companion::bench {

inline std::string summary(std::vector<double> values, const char* unit, int decimals = 1) {
  if (values.empty()) throw std::logic_error("no measurements to summarise");
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  char text[128];
  std::snprintf(text, sizeof text, "%.*f %s (%.*f–%.*f), %zu runs", decimals, median, unit,
                decimals, values.front(), decimals, values.back(), n);
  return text;
}

}  // namespace quillbeam::companion::bench
