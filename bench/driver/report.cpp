#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace quillbeam::bench {
namespace {

std::string number(double value, const char* format = nullptr) {
  const double magnitude = std::fabs(value);
  if (format == nullptr) {
    format = magnitude >= 100  ? "%.0f"
             : magnitude >= 10 ? "%.1f"
             : magnitude >= 1  ? "%.2f"
                               : "%.3f";
  }
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The median of an even count is the mean of the middle two.
std::optional<double> median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void printGrid(std::ostream& out, const std::vector<std::vector<std::string>>& grid) {
  std::vector<size_t> widths(grid[0].size());
  for (const auto& row : grid) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : grid) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(widths[c] - row[c].size(), ' ');
      // The first two columns (metric, unit) and the last two (target, verdict) go left.
      const bool left = c < 2 || (grid[0].back().empty() && c + 2 >= row.size());
      line += (c == 0 ? "" : c == 2 ? "   " : "  ") + (left ? row[c] + pad : pad + row[c]);
    }
    out << line.erase(line.find_last_not_of(' ') + 1) << '\n';
  }
}

// One line per host and reason, naming the metrics it cost.
bool printFailures(std::ostream& out, const std::vector<Row>& rows, const std::string names[2]) {
  // Per host and reason: the metrics it cost, and how many.
  std::map<std::pair<size_t, std::string>, std::pair<std::string, size_t>> failed;
  for (const auto& row : rows) {
    for (size_t h = 0; h < 2; ++h) {
      const Samples& samples = row.hosts[h];
      if (samples.failures == 0) continue;
      auto& [which, count] = failed[{h, samples.firstFailure}];
      which += (count++ == 0 ? "" : "; ") + row.metric.label + " " +
               std::to_string(samples.failures) + "/" +
               std::to_string(samples.failures + samples.values.size());
    }
  }
  if (!failed.empty()) out << "\nFailed runs (* marks a median of the runs that succeeded):\n";
  for (const auto& [key, metrics] : failed) {
    const bool all = metrics.second == rows.size();
    out << "  " << names[key.first] << " (" << (all ? "every metric" : metrics.first)
        << "): " << key.second << '\n';
  }
  return !failed.empty();
}

}  // namespace

bool printReport(std::ostream& out, const std::vector<Row>& rows, const Options& options) {
  const auto& names = options.names;
  std::vector<std::vector<std::string>> grid{{"metric", "unit"}};
  for (const auto& name : names) grid[0].insert(grid[0].end(), {name, "min", "max"});
  grid[0].push_back(names[1] + "/" + names[0]);
  if (options.targets) grid[0].insert(grid[0].end(), {"target", ""});
  for (const auto& row : rows) {
    std::vector<std::string> cells{row.metric.label, row.metric.unit};
    std::vector<std::optional<double>> medians;
    for (size_t h = 0; h < 2; ++h) {
      const Samples& samples = row.hosts[h];
      medians.push_back(median(samples.values));
      if (!medians.back()) {
        cells.insert(cells.end(), {samples.failures > 0 ? "failed" : "-", "", ""});
        continue;
      }
      const auto [min, max] = std::minmax_element(samples.values.begin(), samples.values.end());
      cells.insert(cells.end(), {number(*medians.back()) + (samples.failures > 0 ? "*" : ""),
                                 number(*min), number(*max)});
    }
    std::optional<double> ratio;
    if (medians[0] && medians[1] && *medians[0] != 0) ratio = *medians[1] / *medians[0];
    cells.push_back(ratio ? number(*ratio, "%.2fx") : "-");
    const std::optional<Target>& target = row.metric.target;
    if (options.targets && target) {
      const std::optional<double> figure = target->ofRatio ? ratio : medians[1];
      const bool ok = figure && (target->op == "<"    ? *figure < target->limit
                                 : target->op == "<=" ? *figure <= target->limit
                                                      : *figure >= target->limit);
      const std::string unit = target->ofRatio ? "x" : " " + row.metric.unit;
      cells.insert(cells.end(),
                   {target->op + " " + number(target->limit, "%g") + unit, !figure ? "-"
                                                                           : ok    ? "ok"
                                                                                   : "MISS"});
    } else if (options.targets) {
      cells.insert(cells.end(), {"", ""});
    }
    grid.push_back(std::move(cells));
  }
  printGrid(out, grid);
  return printFailures(out, rows, names);
}

}  // namespace quillbeam::bench
