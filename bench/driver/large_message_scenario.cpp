#include "framing.hpp"
#include "sample_messages.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {
namespace {

std::string key(size_t size) {
  return "large" + std::to_string(size);
}

std::string sizeText(size_t size) {
  const double mib = static_cast<double>(size) / (1024 * 1024);
  char text[32];
  std::snprintf(text, sizeof text, "%g MiB", mib);
  return text;
}

}  // namespace

LargeMessageScenario::LargeMessageScenario(int runs, std::vector<size_t> sizes)
    : runs_(runs), sizes_(std::move(sizes)) {
  for (size_t size : sizes_) {
    std::string bytes = framed(largeStateMessage(size));
    appendFrame(bytes, helloMessage);
    frames_.push_back(std::move(bytes));
  }
}

std::vector<Metric> LargeMessageScenario::metrics(bool withTargets) const {
  std::vector<Metric> out;
  for (size_t size : sizes_) {
    out.push_back(
        {key(size), "state message of " + sizeText(size), "ms",
         withTargets ? std::optional(Target{Target::Kind::ratioAtMost, 10.0}) : std::nullopt});
  }
  return out;
}

// One host per size, so that a failure at one size leaves the others measured.
void LargeMessageScenario::run(HostRun& host, RunLog& log) const {
  host.start();
  host.hello();
  for (size_t i = 0; i < sizes_.size(); ++i) {
    const Clock::time_point start = Clock::now();
    host.send(frames_[i], true);
    log.put(key(sizes_[i]), millisecondsBetween(start, Clock::now()));
  }
  host.closeAndWait();
}

}  // namespace quillbeam::bench
