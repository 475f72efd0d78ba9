// Soak: a long stream of state messages through one bridge process, with the resident
// memory at the start and the end, the rate, and the descriptors left open at the end.
// The bridge inherits DBUS_SESSION_BUS_ADDRESS (scripts/soak.sh starts a private bus).
//
//   quillbeam_soak --bridge PATH [--messages N] [--batch K] [--stall-seconds S]
//
// In batches of K (default 1000) state messages, each followed by a hello whose reply
// shows that the batch was handled; --batch 0 floods all N without waiting, then one hello.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "host_process.hpp"
#include "open_files.hpp"
#include "proc_status.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "run_failure.hpp"
#include "state_messages.hpp"

namespace {

using namespace quillbeam;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string bridge;
  int64_t messages = 1'000'000;
  int64_t batch = 1000;
  int stallSeconds = 30;
};

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (arg == "--bridge") {
      o.bridge = value;
    } else if (arg == "--messages") {
      o.messages = std::stoll(value);
    } else if (arg == "--batch") {
      o.batch = std::stoll(value);
    } else if (arg == "--stall-seconds") {
      o.stallSeconds = std::stoi(value);
    } else {
      return std::nullopt;
    }
  }
  if (o.bridge.empty() || o.messages < 1 || o.batch < 0 || o.stallSeconds < 1) return std::nullopt;
  return o;
}

// A throwaway HOME for the bridge, removed at the end.
struct ScratchHome {
  std::filesystem::path path;
  ScratchHome() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillbeam-soak-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw bench::RunFailure("mkdtemp failed");
    path = pattern;
  }
  ~ScratchHome() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

long residentKiB(pid_t pid) {
  auto use = bench::memoryUse(pid);
  return use ? use->residentKiB : -1;
}

int run(const Options& o) {
  ScratchHome home;
  std::vector<std::string> environment{"HOME=" + home.path.string()};
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus) environment.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  const auto stall = std::chrono::seconds(o.stallSeconds);

  bench::HostProcess bridge({o.bridge}, environment, home.path / "stderr.log");
  const pid_t pid = bridge.pid();
  bridge.exchange(soak::framedHello(), true, stall);
  const long startKiB = residentKiB(pid);
  const size_t startFiles = soak::openFiles(pid).size();
  const auto startTicks = bench::cpuTicks(pid);

  std::printf("soak: %lld state messages, %s\n", static_cast<long long>(o.messages),
              o.batch > 0
                  ? ("in batches of " + std::to_string(o.batch) + ", each acknowledged").c_str()
                  : "flooded without waiting");
  std::printf("session bus:        %s\n", bus ? bus : "none (the bridge posts nothing)");
  // Messages are framed a chunk at a time so that the driver's own memory stays small.
  const int64_t chunk = o.batch > 0 ? o.batch : 4096;
  long maxSampledKiB = startKiB;
  const auto t0 = Clock::now();
  // Ten progress lines: a rate that falls or memory that climbs over the run shows here.
  const int64_t reportEvery = std::max<int64_t>(o.messages / 10, 1);
  int64_t nextReport = reportEvery;
  auto lastReport = t0;
  int64_t lastReportSent = 0;
  std::string bytes;
  for (int64_t sent = 0; sent < o.messages;) {
    const int64_t n = std::min(chunk, o.messages - sent);
    bytes.clear();
    for (int64_t i = 0; i < n; ++i) bytes += soak::framedState(sent + i);
    sent += n;
    if (o.batch > 0) {
      bridge.exchange(bytes + soak::framedHello(), true, stall);
    } else {
      bridge.exchange(bytes, false, stall);
    }
    const long nowKiB = residentKiB(pid);
    maxSampledKiB = std::max(maxSampledKiB, nowKiB);
    if (sent >= nextReport) {
      const auto now = Clock::now();
      const double interval = std::chrono::duration<double>(now - lastReport).count();
      std::printf("  %9lld sent: %7.0f messages per second since the last line, rss %ld KiB\n",
                  static_cast<long long>(sent),
                  static_cast<double>(sent - lastReportSent) / interval, nowKiB);
      std::fflush(stdout);
      lastReport = now;
      lastReportSent = sent;
      nextReport += reportEvery;
    }
  }
  if (o.batch == 0) {
    // The bridge may hold the whole flood in its queue: give it time in proportion (the
    // exchange still fails at once if the bridge stops making progress).
    bridge.exchange(soak::framedHello(), true,
                    std::max<std::chrono::seconds>(stall, std::chrono::seconds(o.messages / 1000)));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

  const long endKiB = residentKiB(pid);
  const auto peak = bench::memoryUse(pid);
  const auto files = soak::openFiles(pid);
  const auto endTicks = bench::cpuTicks(pid);
  bridge.closeInput();
  const int status = bridge.waitExit(std::chrono::seconds(60));
  const bool exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;

  std::printf("rss at start:       %ld KiB (after the first hello)\n", startKiB);
  std::printf("rss at end:         %ld KiB (all messages handled)\n", endKiB);
  std::printf("rss growth:         %+ld KiB\n", endKiB - startKiB);
  std::printf("rss highest sample: %ld KiB; VmHWM %ld KiB\n", maxSampledKiB,
              peak ? peak->peakKiB : -1L);
  std::printf("throughput:         %.0f messages per second (%.1f s)\n",
              static_cast<double>(o.messages) / seconds, seconds);
  if (startTicks && endTicks) {
    // CPU time does not depend on what else the machine runs, unlike the rate above.
    const double cpu =
        static_cast<double>(*endTicks - *startTicks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("bridge cpu time:    %.1f s, %.0f us per message\n", cpu,
                cpu * 1e6 / static_cast<double>(o.messages));
  }
  std::printf("open fds at start:  %zu\n", startFiles);
  std::printf("open fds at end:    %zu\n", files.size());
  for (const auto& line : files) std::printf("  %s\n", line.c_str());
  std::printf("exit status:        %s\n",
              exitedCleanly ? "0" : ("abnormal, wait status " + std::to_string(status)).c_str());

  // The last state must be the one on disk, now disconnected.
  const auto record =
      SharedFiles::readLink(home.path / "Library/Application Support/Quillbeam/browser-link.json");
  const bool recordOk = record && !record->connected && record->session &&
                        record->session->id == soak::soakSessionID &&
                        record->session->milestonesDone == soak::milestonesFor(o.messages - 1);
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
  try {
    return run(*options);
  } catch (const std::exception& e) {
    std::cerr << "soak: " << e.what() << "\n";
    return 1;
  }
}
