// Soak: a long stream of state messages through one bridge process, with the resident
// memory at the start and the end, the rate, and the descriptors left open at the end.
// The bridge inherits DBUS_SESSION_BUS_ADDRESS (scripts/soak.sh starts a private bus).
//
//   quillbeam_soak --bridge PATH [--messages N] [--batch K] [--stall-seconds S]
//
// In batches of K (default 1000) state messages, each followed by a hello whose reply
// shows that the batch was handled; --batch 0 floods all N without waiting, then one hello.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "host_process.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "sample_messages.hpp"

namespace {

using namespace quillbeam;
using bench::Clock;

struct Options {
  std::string bridge;
  long long messages = 1'000'000;
  long long batch = 1000;
  long long stallSeconds = 30;
};

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  const std::map<std::string, long long*> numbers{
      {"--messages", &o.messages}, {"--batch", &o.batch}, {"--stall-seconds", &o.stallSeconds}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const auto number = numbers.find(argv[i]);
    if (std::string(argv[i]) == "--bridge") {
      o.bridge = argv[i + 1];
    } else if (number != numbers.end()) {
      *number->second = std::atoll(argv[i + 1]);
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || o.bridge.empty() || o.messages < 1 || o.batch < 0 || o.stallSeconds < 1) {
    return std::nullopt;
  }
  return o;
}

long residentKiB(pid_t pid) {
  const auto use = bench::memoryUse(pid);
  return use ? use->residentKiB : -1;
}

// User plus system CPU time of all the process's threads, from /proc/<pid>/stat.
std::optional<double> cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The name in parentheses may hold blanks. After it, the state is field 3; utime and
  // stime are fields 14 and 15.
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long long user = 0;
  long long system = 0;
  if (!(fields >> user >> system)) return std::nullopt;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The descriptors a live process holds, by number: pipe:[...], socket:[...], a path.
std::map<int, std::string> openFiles(pid_t pid) {
  std::map<int, std::string> found;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code linkError;
    const auto target = std::filesystem::read_symlink(entry.path(), linkError);
    found[std::stoi(entry.path().filename())] = linkError ? "?" : target.string();
  }
  return found;
}

std::string framedState(long long sequence) {
  return bench::frame(bench::stateMessage(1765000000000 + sequence, sequence % 1000));
}

int run(const Options& o) {
  const bench::ScratchDir home("quillbeam-soak");
  std::vector<std::string> environment{"HOME=" + home.path.string()};
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus) environment.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  const auto stall = std::chrono::seconds(o.stallSeconds);
  const std::string hello = bench::frame(bench::helloMessage);

  bench::HostProcess bridge(o.bridge, environment, home.path / "stderr.log");
  const pid_t pid = bridge.pid();
  bridge.exchange(hello, true, stall);
  const long startKiB = residentKiB(pid);
  const size_t startFiles = openFiles(pid).size();
  const auto startCpu = cpuSeconds(pid);

  std::printf("soak: %lld state messages, %s\n", o.messages,
              o.batch > 0
                  ? ("in batches of " + std::to_string(o.batch) + ", each acknowledged").c_str()
                  : "flooded without waiting");
  std::printf("session bus:        %s\n", bus ? bus : "none (the bridge posts nothing)");
  // Messages are framed a chunk at a time so that the driver's own memory stays small.
  const long long chunk = o.batch > 0 ? o.batch : 4096;
  long maxSampledKiB = startKiB;
  const auto t0 = Clock::now();
  // Ten progress lines: a rate that falls or memory that climbs over the run shows here.
  const long long reportEvery = std::max(o.messages / 10, 1LL);
  auto lastReport = t0;
  long long lastReportSent = 0;
  for (long long sent = 0; sent < o.messages;) {
    std::string bytes;
    for (const long long end = std::min(sent + chunk, o.messages); sent < end; ++sent) {
      bytes += framedState(sent);
    }
    bridge.exchange(o.batch > 0 ? bytes + hello : bytes, o.batch > 0, stall);
    const long nowKiB = residentKiB(pid);
    maxSampledKiB = std::max(maxSampledKiB, nowKiB);
    if (sent - lastReportSent >= reportEvery || sent == o.messages) {
      const auto now = Clock::now();
      const double interval = std::chrono::duration<double>(now - lastReport).count();
      std::printf("  %9lld sent: %7.0f messages per second since the last line, rss %ld KiB\n",
                  sent, static_cast<double>(sent - lastReportSent) / interval, nowKiB);
      std::fflush(stdout);
      lastReport = now;
      lastReportSent = sent;
    }
  }
  if (o.batch == 0) {
    // The bridge may hold the whole flood in its queue: give it time in proportion (the
    // exchange still fails at once if the bridge stops making progress).
    bridge.exchange(hello, true, std::max(stall, std::chrono::seconds(o.messages / 1000)));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

  const long endKiB = residentKiB(pid);
  const auto peak = bench::memoryUse(pid);
  const auto files = openFiles(pid);
  const auto endCpu = cpuSeconds(pid);
  const int status = bridge.finish(std::chrono::seconds(60));
  const bool exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;

  std::printf("rss at start:       %ld KiB (after the first hello)\n", startKiB);
  std::printf("rss at end:         %ld KiB (all messages handled)\n", endKiB);
  std::printf("rss growth:         %+ld KiB\n", endKiB - startKiB);
  std::printf("rss highest sample: %ld KiB; VmHWM %ld KiB\n", maxSampledKiB,
              peak ? peak->peakKiB : -1L);
  std::printf("throughput:         %.0f messages per second (%.1f s)\n",
              static_cast<double>(o.messages) / seconds, seconds);
  if (startCpu && endCpu) {
    // CPU time does not depend on what else the machine runs, unlike the rate above.
    std::printf("bridge cpu time:    %.1f s, %.0f us per message\n", *endCpu - *startCpu,
                (*endCpu - *startCpu) * 1e6 / static_cast<double>(o.messages));
  }
  std::printf("open fds at start:  %zu\n", startFiles);
  std::printf("open fds at end:    %zu\n", files.size());
  for (const auto& [fd, target] : files) std::printf("  %d -> %s\n", fd, target.c_str());
  std::printf("exit status:        %s\n",
              exitedCleanly ? "0" : ("abnormal, wait status " + std::to_string(status)).c_str());

  // The last state must be the one on disk, now disconnected.
  const auto record =
      SharedFiles::readLink(home.path / "Library/Application Support/Quillbeam/browser-link.json");
  const bool recordOk = record && !record->connected && record->session &&
                        record->session->id == bench::sessionId &&
                        record->session->milestonesDone == (o.messages - 1) % 1000;
  std::printf("final record:       %s\n",
              recordOk ? "disconnected, with the last state" : "WRONG or missing");
  std::error_code ec;
  const auto errors = std::filesystem::file_size(home.path / "stderr.log", ec);
  std::printf("stderr:             %llu bytes\n", static_cast<unsigned long long>(ec ? 0 : errors));
  return exitedCleanly && recordOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::cerr << "usage: quillbeam_soak --bridge PATH [--messages N] [--batch K (0 floods)]"
                 " [--stall-seconds S]\n";
    return 2;
  }
  // A bridge that dies while we write is reported as a failed soak, not a crash.
  signal(SIGPIPE, SIG_IGN);
  try {
    return run(*options);
  } catch (const std::exception& e) {
    std::cerr << "soak: " << e.what() << "\n";
    return 1;
  }
}
