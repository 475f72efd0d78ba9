// bench_driver: measures native messaging hosts from the outside, over pipes, the way a
// browser runs them. See --help.

#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "options.hpp"
#include "report.hpp"
#include "run_failure.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {
namespace {

RunSettings settingsFrom(const Options& options) {
  RunSettings settings;
  const char* path = std::getenv("PATH");
  settings.environment.push_back(std::string("PATH=") +
                                 (path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin"));
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    settings.environment.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  }
  for (const auto& setting : options.extraEnvironment) settings.environment.push_back(setting);
  settings.stall = options.timeout;
  settings.settle = options.settle;
  return settings;
}

std::string commandText(const Host& host) {
  std::string text;
  for (const auto& word : host.argv) text += (text.empty() ? "" : " ") + word;
  return text;
}

// One run of one host. Failures end up in the log with the host's last stderr line.
void runOnce(const Scenario& scenario, const Host& host, int index, const RunSettings& settings,
             Results& results, const std::vector<std::string>& keys) {
  RunLog log(results, index, keys);
  try {
    HostRun run(host, settings);
    try {
      scenario.run(run, log);
    } catch (const RunFailure& failure) {
      const std::string line = run.lastErrorLine();
      log.fail(line.empty() ? failure.what()
                            : std::string(failure.what()) + " (stderr: " + line + ")");
    }
  } catch (const RunFailure& failure) {
    log.fail(failure.what());
  }
}

int runAll(const Options& options) {
  const RunSettings settings = settingsFrom(options);
  const std::vector<Host>& hosts = options.hosts;
  const auto started = Clock::now();

  std::cout << "Hosts";
  if (hosts.size() == 2) std::cout << " (run alternately)";
  std::cout << ":\n";
  for (const auto& host : hosts)
    std::cout << "  " << host.name << ": " << commandText(host) << '\n';
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::cout << "Session bus: " << (bus != nullptr ? bus : "none") << "\n\n" << std::flush;

  std::vector<std::unique_ptr<Scenario>> scenarios;
  if (options.startupRuns > 0) {
    scenarios.push_back(std::make_unique<LifecycleScenario>(options.startupRuns));
  }
  if (options.throughputRuns > 0) {
    scenarios.push_back(
        std::make_unique<ThroughputScenario>(options.throughputRuns, options.messages));
  }
  if (options.largeRuns > 0 && !options.largeSizes.empty()) {
    scenarios.push_back(
        std::make_unique<LargeMessageScenario>(options.largeRuns, options.largeSizes));
  }
  if (options.growthRuns > 0) {
    scenarios.push_back(
        std::make_unique<GrowthScenario>(options.growthRuns, options.growthMessages));
  }

  Results results;
  for (const auto& scenario : scenarios) {
    for (auto& metric : scenario->metrics(options.targets)) results.declare(metric);
  }

  // A first start of each host, not counted, so that every counted run finds its binary
  // and libraries in the page cache. A host that cannot even answer a hello is not run
  // again; one that only fails later steps (its exit, say) is still measured.
  std::vector<std::string> dead(hosts.size());
  for (size_t h = 0; h < hosts.size(); ++h) {
    Results scratch;
    LifecycleScenario warmUp(1);
    std::vector<std::string> keys;
    for (auto& metric : warmUp.metrics(false)) {
      keys.push_back(metric.key);
      scratch.declare(metric);
    }
    runOnce(warmUp, hosts[h], 0, settings, scratch, keys);
    const Samples& startup = scratch.at("startup", 0);
    if (startup.failures > 0) {
      dead[h] = "warm-up run failed: " + startup.firstFailure;
      std::cerr << hosts[h].name << ": " << dead[h] << '\n';
    }
  }

  for (const auto& scenario : scenarios) {
    std::vector<std::string> keys;
    const auto metrics = scenario->metrics(false);
    for (const auto& metric : metrics) keys.push_back(metric.key);
    std::cerr << "measuring " << metrics.front().label << ", " << scenario->runs()
              << " runs per host...\n";
    for (int run = 0; run < scenario->runs(); ++run) {
      for (size_t h = 0; h < hosts.size(); ++h) {
        if (!dead[h].empty()) {
          RunLog skipped(results, static_cast<int>(h), keys);
          skipped.fail(dead[h]);
          continue;
        }
        runOnce(*scenario, hosts[h], static_cast<int>(h), settings, results, keys);
      }
    }
  }

  std::cout << "Median, min and max per host";
  if (hosts.size() == 2) std::cout << "; the ratio is of the medians";
  std::cout << ".\n\n";
  printReport(std::cout, results, hosts);
  const double seconds = millisecondsBetween(started, Clock::now()) / 1000.0;
  std::cout << "\nTook " << static_cast<int>(seconds + 0.5) << " s.\n";
  return results.anyFailure() ? 1 : 0;
}

}  // namespace
}  // namespace quillbeam::bench

int main(int argc, char** argv) {
  using namespace quillbeam::bench;
  // A host that dies while we write must fail its run, not end the driver.
  signal(SIGPIPE, SIG_IGN);
  bool help = false;
  Options options;
  try {
    options = parseOptions(argc, argv, help);
  } catch (const std::invalid_argument& error) {
    std::cerr << "bench_driver: " << error.what() << "\nTry 'bench_driver --help'.\n";
    return 2;
  }
  if (help) {
    std::cout << usageText;
    return 0;
  }
  return runAll(options);
}
