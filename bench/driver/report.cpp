#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace quillbeam::bench {
namespace {

std::string number(double value) {
  const double magnitude = std::fabs(value);
  const char* format = magnitude >= 100  ? "%.0f"
                       : magnitude >= 10 ? "%.1f"
                       : magnitude >= 1  ? "%.2f"
                                         : "%.3f";
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string boundText(const Target& target, const std::string& unit) {
  char bound[32];
  std::snprintf(bound, sizeof bound, "%g", target.bound);
  switch (target.kind) {
    case Target::Kind::ratioAtMost:
      return std::string("<= ") + bound + "x";
    case Target::Kind::ratioAtLeast:
      return std::string(">= ") + bound + "x";
    case Target::Kind::valueAtMost:
      return std::string("<= ") + bound + " " + unit;
    case Target::Kind::valueBelow:
      return std::string("< ") + bound + " " + unit;
  }
  return "";
}

// "ok", "MISS", or "-" when the figures it needs are missing.
std::string verdict(const Target& target, std::optional<double> ratio,
                    std::optional<double> value) {
  switch (target.kind) {
    case Target::Kind::ratioAtMost:
      return !ratio ? "-" : *ratio <= target.bound ? "ok" : "MISS";
    case Target::Kind::ratioAtLeast:
      return !ratio ? "-" : *ratio >= target.bound ? "ok" : "MISS";
    case Target::Kind::valueAtMost:
      return !value ? "-" : *value <= target.bound ? "ok" : "MISS";
    case Target::Kind::valueBelow:
      return !value ? "-" : *value < target.bound ? "ok" : "MISS";
  }
  return "-";
}

using Grid = std::vector<std::vector<std::string>>;

void printGrid(std::ostream& out, const Grid& grid, const std::vector<bool>& leftAligned) {
  std::vector<size_t> widths;
  for (const auto& row : grid) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : grid) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(widths[c] - row[c].size(), ' ');
      if (c > 0) line += c == 2 ? "   " : "  ";
      line += leftAligned[c] ? row[c] + pad : pad + row[c];
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
}

// One line per host and reason, naming the metrics it cost.
void printFailures(std::ostream& out, const Results& results, const std::vector<Host>& hosts) {
  bool first = true;
  for (size_t h = 0; h < hosts.size(); ++h) {
    std::vector<std::pair<std::string, std::vector<const Results::Row*>>> reasons;
    for (const auto& row : results.rows()) {
      const Samples& samples = row.hosts[h];
      if (samples.failures == 0) continue;
      auto same = std::find_if(reasons.begin(), reasons.end(),
                               [&](const auto& r) { return r.first == samples.firstFailure; });
      if (same == reasons.end()) {
        reasons.push_back({samples.firstFailure, {}});
        same = reasons.end() - 1;
      }
      same->second.push_back(&row);
    }
    for (const auto& [reason, rows] : reasons) {
      if (first) out << "\nFailed runs (* marks a median of the runs that succeeded):\n";
      first = false;
      std::string which;
      if (rows.size() == results.rows().size()) {
        which = "every metric";
      } else {
        for (const auto* row : rows) {
          which += (which.empty() ? "" : "; ") + row->metric.label + " " +
                   std::to_string(row->hosts[h].failures) + "/" +
                   std::to_string(row->hosts[h].runs());
        }
      }
      out << "  " << hosts[h].name << " (" << which << "): " << reason << '\n';
    }
  }
}

}  // namespace

void printReport(std::ostream& out, const Results& results, const std::vector<Host>& hosts) {
  const bool paired = hosts.size() == 2;
  const bool anyTarget = std::any_of(results.rows().begin(), results.rows().end(),
                                     [](const Results::Row& row) { return row.metric.target; });

  Grid grid;
  std::vector<std::string> header{"metric", "unit"};
  std::vector<bool> left{true, true};
  for (const auto& host : hosts) {
    header.insert(header.end(), {host.name, "min", "max"});
    left.insert(left.end(), {false, false, false});
  }
  if (paired) {
    header.push_back(hosts[1].name + "/" + hosts[0].name);
    left.push_back(false);
  }
  if (anyTarget) {
    header.insert(header.end(), {"target", ""});
    left.insert(left.end(), {true, true});
  }
  grid.push_back(header);

  for (const auto& row : results.rows()) {
    std::vector<std::string> cells{row.metric.label, row.metric.unit};
    std::vector<std::optional<Summary>> summaries;
    for (size_t h = 0; h < hosts.size(); ++h) {
      const Samples& samples = row.hosts[h];
      auto summary = samples.summary();
      summaries.push_back(summary);
      if (!summary) {
        cells.insert(cells.end(), {samples.runs() > 0 ? "failed" : "-", "", ""});
        continue;
      }
      const std::string mark = samples.failures > 0 ? "*" : "";
      cells.insert(cells.end(),
                   {number(summary->median) + mark, number(summary->min), number(summary->max)});
    }
    std::optional<double> ratio;
    if (paired && summaries[0] && summaries[1] && summaries[0]->median != 0) {
      ratio = summaries[1]->median / summaries[0]->median;
    }
    if (paired) {
      char text[32];
      std::snprintf(text, sizeof text, "%.2fx", ratio.value_or(0));
      cells.push_back(ratio ? text : "-");
    }
    if (anyTarget) {
      if (row.metric.target) {
        // Limits on a value apply to the host being judged: the second of a pair.
        std::optional<double> value;
        if (summaries.back()) value = summaries.back()->median;
        cells.push_back(boundText(*row.metric.target, row.metric.unit));
        cells.push_back(verdict(*row.metric.target, ratio, value));
      } else {
        cells.insert(cells.end(), {"", ""});
      }
    }
    grid.push_back(cells);
  }
  printGrid(out, grid, left);

  printFailures(out, results, hosts);
}

}  // namespace quillbeam::bench
