#include "scenarios.hpp"

namespace quillbeam::bench {

std::vector<Metric> LifecycleScenario::metrics(bool withTargets) const {
  using Kind = Target::Kind;
  auto target = [&](Kind kind, double bound) {
    return withTargets ? std::optional(Target{kind, bound}) : std::nullopt;
  };
  return {
      {"startup", "spawn to hello reply", "ms", target(Kind::ratioAtMost, 1.5)},
      {"idleRss", "RSS idle after hello", "MiB", target(Kind::valueAtMost, 3.0)},
      {"idlePeak", "peak RSS after hello", "MiB", std::nullopt},
      {"exit", "exit after end of input", "ms", target(Kind::valueBelow, 5.0)},
  };
}

void LifecycleScenario::run(HostRun& host, RunLog& log) const {
  const Clock::time_point spawned = Clock::now();
  host.start();
  host.hello();
  log.put("startup", millisecondsBetween(spawned, Clock::now()));
  const MemoryUse memory = host.settledMemory();
  log.put("idleRss", memory.residentKiB / 1024.0);
  log.put("idlePeak", memory.peakKiB / 1024.0);
  log.put("exit", host.closeAndWait());
}

}  // namespace quillbeam::bench
