// bench_driver: measures native messaging hosts from the outside, over pipes, the way a
// browser runs them. See usage below.

#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string_view>
#include <variant>

#include "report.hpp"
#include "scenarios.hpp"

namespace quillbeam::bench {
namespace {

constexpr std::string_view usage =
    R"(Usage: bench_driver [OPTION]... --host-a PROGRAM --host-b PROGRAM
Measures native messaging hosts over pipes, each run on a throwaway HOME, with PATH and
DBUS_SESSION_BUS_ADDRESS, the two alternately. Prints per metric the median, min and max
of each and the ratio B/A. Exits with 1 when any run failed.
  --host-a, --host-b PROGRAM   the reference host, the host judged against it
  --name-a, --name-b NAME      names in the table (default: the programs' file names)
  --startup-runs N (25)        runs per host of spawn to hello, idle memory and exit
  --throughput-runs N (7)      runs per host of the message rate, --messages N (2000) each
  --large-runs N (5)           runs per host of the 1, 4 and 8 MiB messages
  --growth-runs N (0)          runs per host of memory growth, --growth-messages N (100000)
  --settle-ms N (25)           pause before memory is read
  --timeout SECONDS (10)       how long a host may move no byte before its run fails
  --targets                    show the bridge's targets beside the figures
)";

// Throws std::invalid_argument with a message for the user.
Options parse(int argc, char** argv) {
  Options o;
  const std::map<std::string_view, std::variant<std::string*, int*>> flags{
      {"--host-a", &o.programs[0]},       {"--host-b", &o.programs[1]},
      {"--name-a", &o.names[0]},          {"--name-b", &o.names[1]},
      {"--startup-runs", &o.startupRuns}, {"--throughput-runs", &o.throughputRuns},
      {"--messages", &o.messages},        {"--large-runs", &o.largeRuns},
      {"--growth-runs", &o.growthRuns},   {"--growth-messages", &o.growthMessages},
      {"--settle-ms", &o.settleMs},       {"--timeout", &o.timeoutSeconds}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    const auto known = flags.find(flag);
    if (flag == "--targets") {
      o.targets = true;
    } else if (known == flags.end()) {
      throw std::invalid_argument("unknown option " + std::string(flag));
    } else if (i + 1 == argc) {
      throw std::invalid_argument(std::string(flag) + " needs a value");
    } else if (auto* text = std::get_if<std::string*>(&known->second)) {
      **text = argv[++i];
    } else {
      const std::string_view value = argv[++i];
      int& number = *std::get<int*>(known->second);
      const auto parsed = std::from_chars(value.data(), value.data() + value.size(), number);
      if (parsed.ec != std::errc() || parsed.ptr != value.end() || number < 0) {
        throw std::invalid_argument(std::string(flag) + ": not a count: " + std::string(value));
      }
    }
  }
  if (o.programs[0].empty() || o.programs[1].empty()) {
    throw std::invalid_argument("--host-a and --host-b are both needed");
  }
  if (o.messages < 1 || o.growthMessages < 1 || o.timeoutSeconds < 1) {
    throw std::invalid_argument("message counts and --timeout must be above 0");
  }
  for (size_t h = 0; h < 2; ++h) {
    if (o.names[h].empty()) o.names[h] = std::filesystem::path(o.programs[h]).filename();
  }
  if (o.names[0] == o.names[1]) o.names[0] += "-a", o.names[1] += "-b";
  const char* path = std::getenv("PATH");
  o.environment.push_back(std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"));
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    o.environment.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  }
  return o;
}

// Runs one scenario once on one host: the values it reached, and why it stopped short.
std::pair<std::vector<double>, std::string> measure(const Scenario& scenario,
                                                    const std::string& program,
                                                    const Options& options) {
  std::vector<double> values;
  std::optional<HostRun> run;
  try {
    run.emplace(program, options);
    scenario.run(*run, values);
    return {values, ""};
  } catch (const RunFailure& failure) {
    const std::string line = run ? run->lastErrorLine() : "";
    return {values, failure.what() + (line.empty() ? "" : " (stderr: " + line + ")")};
  }
}

int runAll(const Options& options) {
  const Clock::time_point started = Clock::now();
  std::cout << "Hosts (run alternately):\n";
  for (size_t h = 0; h < 2; ++h)
    std::cout << "  " << options.names[h] << ": " << options.programs[h] << '\n';
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::cout << "Session bus: " << (bus != nullptr ? bus : "none") << "\n\n" << std::flush;

  const std::vector<Scenario> all = scenarios(options);
  // A first start of each host, not counted, so that every counted run finds its binary and
  // libraries in the page cache. A host that cannot even answer a hello is not run again;
  // one that fails only later steps (its exit, say) is still measured.
  std::string dead[2];
  for (size_t h = 0; h < 2; ++h) {
    auto [values, why] = measure(all.front(), options.programs[h], options);
    if (values.empty()) dead[h] = "warm-up run failed: " + why;
    if (values.empty()) std::cerr << options.names[h] << ": " << dead[h] << '\n';
  }

  std::vector<Row> rows;
  for (const auto& scenario : all) {
    if (scenario.runs <= 0) continue;
    const size_t first = rows.size();
    for (const auto& metric : scenario.metrics) rows.push_back({metric, {}});
    std::cerr << "measuring " << scenario.metrics.front().label << ", " << scenario.runs
              << " runs per host...\n";
    for (int run = 0; run < scenario.runs; ++run) {
      for (size_t h = 0; h < 2; ++h) {
        auto [values, why] = dead[h].empty() ? measure(scenario, options.programs[h], options)
                                             : std::pair(std::vector<double>(), dead[h]);
        for (size_t m = 0; m < scenario.metrics.size(); ++m) {
          Samples& samples = rows[first + m].hosts[h];
          if (m < values.size()) samples.values.push_back(values[m]);
          if (m >= values.size() && samples.failures++ == 0) samples.firstFailure = why;
        }
      }
    }
  }

  std::cout << "Median, min and max per host; the ratio is of the medians.\n\n";
  const bool failed = printReport(std::cout, rows, options);
  std::cout << "\nTook " << static_cast<int>(millisecondsSince(started) / 1000 + 0.5) << " s.\n";
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace quillbeam::bench

int main(int argc, char** argv) {
  using namespace quillbeam::bench;
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::cout << usage;
    return 0;
  }
  Options options;
  try {
    options = parse(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::cerr << "bench_driver: " << error.what() << "\nTry 'bench_driver --help'.\n";
    return 2;
  }
  // A host that dies while we write must fail its run, not end the driver.
  signal(SIGPIPE, SIG_IGN);
  return runAll(options);
}
