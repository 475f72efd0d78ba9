#include <algorithm>

#include "framing.hpp"
#include "sample_messages.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {

// The count is rounded up to whole blocks of a tenth of it.
GrowthScenario::GrowthScenario(int runs, size_t messages)
    : runs_(runs), warmUp_(std::max<size_t>(1, messages / 10)) {
  messages_ = (messages + warmUp_ - 1) / warmUp_ * warmUp_;
  for (size_t i = 0; i < warmUp_; ++i) {
    appendFrame(block_, stateMessage(1718000000123 + static_cast<int64_t>(i) * 7,
                                     static_cast<int64_t>(i % 6)));
  }
}

std::vector<Metric> GrowthScenario::metrics(bool withTargets) const {
  const std::string n = std::to_string(messages_);
  const std::string w = std::to_string(warmUp_);
  return {
      {"growth", "RSS growth, hello to " + n + " messages", "MiB",
       withTargets ? std::optional(Target{Target::Kind::valueAtMost, 0.5}) : std::nullopt},
      {"growthLate", "RSS growth, " + w + " to " + n + " messages", "MiB", std::nullopt},
      {"growthPeak", "peak RSS after " + n + " messages", "MiB", std::nullopt},
  };
}

// Memory is read after the hello, after the first tenth of the reports, and after all of
// them: the second difference separates steady growth from warm-up.
void GrowthScenario::run(HostRun& host, RunLog& log) const {
  host.start();
  host.hello();
  const MemoryUse idle = host.settledMemory();
  const std::string hello = framed(helloMessage);
  host.send(block_, false);
  host.send(hello, true);
  const MemoryUse warm = host.settledMemory();
  for (size_t sent = warmUp_; sent < messages_; sent += warmUp_) host.send(block_, false);
  host.send(hello, true);
  const MemoryUse last = host.settledMemory();
  log.put("growth", (last.residentKiB - idle.residentKiB) / 1024.0);
  log.put("growthLate", (last.residentKiB - warm.residentKiB) / 1024.0);
  log.put("growthPeak", last.peakKiB / 1024.0);
  host.closeAndWait();
}

}  // namespace quillbeam::bench
