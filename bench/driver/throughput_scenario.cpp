#include "framing.hpp"
#include "sample_messages.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {

ThroughputScenario::ThroughputScenario(int runs, size_t messages)
    : runs_(runs), messages_(messages) {
  // Reports of one running session, a few milliseconds apart, milestones advancing.
  for (size_t i = 0; i < messages_; ++i) {
    appendFrame(burst_, stateMessage(1718000000123 + static_cast<int64_t>(i) * 7,
                                     static_cast<int64_t>(i % 6)));
  }
  appendFrame(burst_, helloMessage);
}

std::vector<Metric> ThroughputScenario::metrics(bool withTargets) const {
  const std::string n = std::to_string(messages_);
  return {
      {"rate", "state messages per second (" + n + ")", "msg/s",
       withTargets ? std::optional(Target{Target::Kind::ratioAtLeast, 0.8}) : std::nullopt},
      {"rateRss", "RSS after " + n + " messages", "MiB", std::nullopt},
      {"ratePeak", "peak RSS after " + n + " messages", "MiB", std::nullopt},
      {"rateExit", "exit after " + n + " messages", "ms", std::nullopt},
  };
}

void ThroughputScenario::run(HostRun& host, RunLog& log) const {
  host.start();
  host.hello();
  const Clock::time_point start = Clock::now();
  host.send(burst_, true);
  const double seconds = millisecondsBetween(start, Clock::now()) / 1000.0;
  log.put("rate", static_cast<double>(messages_) / seconds);
  const MemoryUse memory = host.settledMemory();
  log.put("rateRss", memory.residentKiB / 1024.0);
  log.put("ratePeak", memory.peakKiB / 1024.0);
  log.put("rateExit", host.closeAndWait());
}

}  // namespace quillbeam::bench
