#include "results.hpp"

#include <algorithm>
#include <stdexcept>

namespace quillbeam::bench {

void Results::declare(Metric metric) {
  for (const auto& row : rows_) {
    if (row.metric.key == metric.key) return;
  }
  rows_.push_back(Row{std::move(metric), {}});
}

Samples& Results::at(const std::string& key, int host) {
  for (auto& row : rows_) {
    if (row.metric.key == key) return row.hosts.at(static_cast<size_t>(host));
  }
  throw std::out_of_range("no metric " + key);
}

bool Results::anyFailure() const {
  return std::any_of(rows_.begin(), rows_.end(), [](const Row& row) {
    return row.hosts[0].failures > 0 || row.hosts[1].failures > 0;
  });
}

RunLog::RunLog(Results& results, int host, std::vector<std::string> keys)
    : results_(results), host_(host), pending_(std::move(keys)) {}

RunLog::~RunLog() {
  for (const auto& key : pending_) results_.at(key, host_).fail(why_);
}

void RunLog::put(const std::string& key, double value) {
  results_.at(key, host_).add(value);
  pending_.erase(std::remove(pending_.begin(), pending_.end(), key), pending_.end());
}

}  // namespace quillbeam::bench
