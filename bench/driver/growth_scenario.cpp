#include <algorithm>

#include "framing.hpp"
#include "sample_messages.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {

// The count is rounded up to whole blocks.
GrowthScenario::GrowthScenario(int runs, size_t messages)
    : runs_(runs),
      blocks_((messages + blockSize - 1) / blockSize),
      warmBlocks_(std::max<size_t>(1, blocks_ / 10)) {
  for (size_t i = 0; i < blockSize; ++i) {
    appendFrame(block_, stateMessage(1718000000123 + static_cast<int64_t>(i) * 7,
                                     static_cast<int64_t>(i % 6)));
  }
  appendFrame(block_, helloMessage);
}

std::vector<Metric> GrowthScenario::metrics(bool withTargets) const {
  const std::string n = std::to_string(blocks_ * blockSize);
  const std::string w = std::to_string(warmBlocks_ * blockSize);
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
  MemoryUse warm = idle;
  for (size_t sent = 1; sent <= blocks_; ++sent) {
    host.send(block_, true);
    if (sent == warmBlocks_) warm = host.settledMemory();
  }
  const MemoryUse last = host.settledMemory();
  log.put("growth", static_cast<double>(last.residentKiB - idle.residentKiB) / 1024.0);
  log.put("growthLate", static_cast<double>(last.residentKiB - warm.residentKiB) / 1024.0);
  log.put("growthPeak", static_cast<double>(last.peakKiB) / 1024.0);
  host.closeAndWait();
}

}  // namespace quillbeam::bench
