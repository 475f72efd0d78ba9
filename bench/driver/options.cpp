#include "options.hpp"

#include <charconv>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "command_line.hpp"

namespace quillbeam::bench {

const char* const usageText = R"(Usage: bench_driver [OPTION]... --host-a COMMAND [--host-b COMMAND]
       bench_driver [OPTION]... -- PROGRAM [ARGUMENT]...

Measures native messaging hosts over pipes, each run on a throwaway HOME: spawn to hello
reply, memory, state messages per second, large messages, exit after end of input. Prints
the median, min and max per metric; with two hosts, runs them alternately (A, B, A, B, ...)
and prints the ratio B/A. Exits with 1 when any run failed.

Hosts
  --host-a COMMAND      the reference host (split into words like a shell; no expansions)
  --host-b COMMAND      the host judged against it
  --name-a NAME         name in the table (default: the program's file name)
  --name-b NAME
  --env NAME=VALUE      add to the hosts' environment (repeatable); the hosts get PATH,
                        DBUS_SESSION_BUS_ADDRESS when set, and HOME, nothing else

Runs (0 turns a measurement off)
  --startup-runs N      spawn to hello, idle memory and exit runs per host (25)
  --throughput-runs N   message rate runs per host (7)
  --messages N          state messages per rate run (2000)
  --large-runs N        runs per host of the large messages (5)
  --large-sizes LIST    sizes in MiB, comma-separated, at most 8 (1,4,8); 8 MiB is
                        8388608 bytes, the most a host accepts
  --growth-runs N       runs of the memory growth test (0)
  --growth-messages N   state messages in a growth run (100000)

Other
  --settle-ms N         pause before memory is read (25)
  --timeout SECONDS     how long a host may make no progress before its run fails (10)
  --targets             show the bridge's targets beside the figures
  --help
)";

namespace {

template <class T>
T parseNumber(std::string_view flag, std::string_view text) {
  T value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) {
    throw std::invalid_argument(std::string(flag) + ": not a count: " + std::string(text));
  }
  return value;
}

std::vector<size_t> parseSizes(std::string_view text) {
  std::vector<size_t> sizes;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const auto mib = parseNumber<double>("--large-sizes", text.substr(0, comma));
    if (mib <= 0 || mib > 8)
      throw std::invalid_argument("--large-sizes: sizes lie above 0 and at most 8");
    sizes.push_back(static_cast<size_t>(mib * 1024 * 1024));
    text = comma == std::string_view::npos ? "" : text.substr(comma + 1);
  }
  return sizes;
}

Host hostFromCommand(std::string_view flag, std::string_view command) {
  auto words = splitCommand(command);
  if (!words || words->empty()) {
    throw std::invalid_argument(std::string(flag) + ": not a command: " + std::string(command));
  }
  return Host{std::filesystem::path(words->front()).filename().string(), std::move(*words)};
}

}  // namespace

Options parseOptions(int argc, char** argv, bool& help) {
  Options options;
  help = false;
  std::vector<std::string> names(2);
  std::vector<std::optional<Host>> hosts(2);
  int i = 1;
  auto value = [&](std::string_view flag) -> std::string_view {
    if (i + 1 >= argc) throw std::invalid_argument(std::string(flag) + " needs a value");
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return options;
    } else if (arg == "--") {
      if (i + 1 >= argc) throw std::invalid_argument("--: no program given");
      std::vector<std::string> words(argv + i + 1, argv + argc);
      hosts[hosts[0] ? 1 : 0] = Host{std::filesystem::path(words[0]).filename().string(), words};
      break;
    } else if (arg == "--host-a" || arg == "--host-b") {
      hosts[arg == "--host-a" ? 0 : 1] = hostFromCommand(arg, value(arg));
    } else if (arg == "--name-a" || arg == "--name-b") {
      names[arg == "--name-a" ? 0 : 1] = value(arg);
    } else if (arg == "--env") {
      const std::string_view setting = value(arg);
      if (setting.find('=') == std::string_view::npos || setting.front() == '=') {
        throw std::invalid_argument("--env: expected NAME=VALUE");
      }
      options.extraEnvironment.emplace_back(setting);
    } else if (arg == "--startup-runs") {
      options.startupRuns = parseNumber<int>(arg, value(arg));
    } else if (arg == "--throughput-runs") {
      options.throughputRuns = parseNumber<int>(arg, value(arg));
    } else if (arg == "--messages") {
      options.messages = parseNumber<size_t>(arg, value(arg));
    } else if (arg == "--large-runs") {
      options.largeRuns = parseNumber<int>(arg, value(arg));
    } else if (arg == "--large-sizes") {
      options.largeSizes = parseSizes(value(arg));
    } else if (arg == "--growth-runs") {
      options.growthRuns = parseNumber<int>(arg, value(arg));
    } else if (arg == "--growth-messages") {
      options.growthMessages = parseNumber<size_t>(arg, value(arg));
    } else if (arg == "--settle-ms") {
      options.settle = std::chrono::milliseconds(parseNumber<int>(arg, value(arg)));
    } else if (arg == "--timeout") {
      options.timeout = std::chrono::seconds(parseNumber<int>(arg, value(arg)));
    } else if (arg == "--targets") {
      options.targets = true;
    } else {
      throw std::invalid_argument("unknown option " + std::string(arg));
    }
  }
  if (!hosts[0]) {
    if (hosts[1]) throw std::invalid_argument("--host-b needs --host-a");
    throw std::invalid_argument("no host command given");
  }
  for (size_t h = 0; h < 2; ++h) {
    if (!hosts[h]) continue;
    if (!names[h].empty()) hosts[h]->name = names[h];
    options.hosts.push_back(std::move(*hosts[h]));
  }
  if (options.hosts.size() == 2 && options.hosts[0].name == options.hosts[1].name) {
    options.hosts[0].name += "-a";
    options.hosts[1].name += "-b";
  }
  if (options.messages == 0 || options.growthMessages == 0) {
    throw std::invalid_argument("message counts must be above 0");
  }
  if (options.timeout.count() == 0) throw std::invalid_argument("--timeout must be above 0");
  return options;
}

}  // namespace quillbeam::bench
