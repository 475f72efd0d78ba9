// companion_live_bench: the companion's latencies and idle cost, measured from the outside
// on real processes. Needs root and a writable cgroup v2 mount; elsewhere it says why and
// exits 0. Only processes it starts, in cgroups it makes, are ever paused, and all of it
// is gone when it ends.
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bare_reads.hpp"
#include "companion/desktop/app_discovery.hpp"
#include "companion_rig.hpp"
#include "freeze_floor.hpp"
#include "summary.hpp"

namespace quillbeam::companion::bench {
namespace {

namespace fs = std::filesystem;

struct Options {
  int runs = 15;
  std::vector<int> appCounts{1, 10, 50};
  double idleSeconds = 10;
  int idleWindows = 3;
};

constexpr std::string_view kHelp =
    R"(Usage: companion_live_bench [--runs N] [--idle-seconds S] [--windows W] [--quick]
Measures, on real processes in a throwaway cgroup tree, with the real bridge on a private bus:
  - a state message with a session to every blocked app unit frozen, and the thaw when the
    session ends, for 1, 10 and 50 units (N runs each);
  - a new app unit to frozen while a session runs (N runs);
  - the companion's resident memory and wake-ups over W windows of S seconds, idle and
    with a session running.
Figures are median (min-max). Beside each latency, the same change made by this program
itself on units of its own (no bus, no companion) in the same run, and the ratio.
--quick: 5 runs, 2 windows of 3 s.
)";

std::string unitName(int n) {
  return "app-flatpak-com.discordapp.Discord-" + std::to_string(n) + ".scope";
}

// Each run times the companion, then the floor, so that both see the same load.
void signalToFrozen(CompanionRig& rig, FreezeFloor& floor, const Options& options) {
  std::vector<fs::path> units;
  for (int count : options.appCounts) {
    while (static_cast<int>(units.size()) < count) {
      units.push_back(rig.startApp(unitName(1000 + static_cast<int>(units.size()))));
    }
    floor.grow(static_cast<size_t>(count));
    rig.pause(0.3);  // the companion has seen them all
    const auto all = [&](bool frozen) {
      return [&units, frozen] {
        for (const auto& unit : units) {
          if (isFrozen(unit) != frozen) return false;
        }
        return true;
      };
    };
    std::vector<double> freeze, thaw, floorFreeze, floorThaw;
    for (int run = 0; run < options.runs; ++run) {
      const auto sent =
          rig.sendSession("bench-" + std::to_string(count) + "-" + std::to_string(run));
      freeze.push_back(rig.msUntil(sent, all(true)));
      rig.pause(0.1);
      thaw.push_back(rig.msUntil(rig.sendSession(std::nullopt), all(false)));
      rig.pause(0.1);
      floorFreeze.push_back(floor.setAll(true));
      rig.pause(0.1);
      floorThaw.push_back(floor.setAll(false));
      rig.pause(0.1);
    }
    std::printf("  state message to %2d app(s) frozen: %s\n", count,
                besideFloor(freeze, floorFreeze, "ms", 2).c_str());
    std::printf("  session end to %2d app(s) thawed:   %s\n", count,
                besideFloor(thaw, floorThaw, "ms", 2).c_str());
    std::fflush(stdout);
  }
}

// The floor freezes its new unit itself as soon as the process is in it, with as many
// of its own units frozen as the companion has paused.
void newAppToFrozen(CompanionRig& rig, FreezeFloor& floor, const Options& options, size_t others) {
  rig.sendSession("bench-new-apps");
  floor.setAll(true);
  rig.pause(0.5);
  std::vector<double> times, started, floorTimes;
  for (int run = 0; run < options.runs; ++run) {
    const auto start = Clock::now();
    const fs::path unit = rig.startApp(unitName(5000 + run));
    // The process is in its unit once startApp returns; the rest is the companion's.
    started.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    times.push_back(rig.msUntil(start, [&] { return isFrozen(unit); }));
    rig.endApp(unit);
    rig.pause(0.1);
    floorTimes.push_back(floor.newUnitToFrozen("floor-new-" + std::to_string(run) + ".scope"));
    rig.pause(0.1);
  }
  rig.sendSession(std::nullopt);
  floor.setAll(false);
  std::printf("  new unit to frozen (%zu others paused): %s\n", others,
              besideFloor(times, floorTimes, "ms", 2).c_str());
  std::printf("  of which mkdir, spawn, move into the unit: %s\n",
              summary(started, "ms", 2).c_str());
  std::fflush(stdout);
}

void idleCost(CompanionRig& rig, const Options& options, bool session) {
  if (session) rig.sendSession("bench-idle");
  rig.pause(1.0);  // past the decision the message caused
  std::vector<double> rss, anon, pss, wakeups, cpu;
  for (int window = 0; window < options.idleWindows; ++window) {
    const ProcessSample before = rig.sample();
    rig.pause(options.idleSeconds);
    const ProcessSample after = rig.sample();
    rss.push_back(after.rssKiB / 1024);
    anon.push_back(after.anonKiB / 1024);
    pss.push_back(after.pssKiB / 1024);
    wakeups.push_back((after.contextSwitches - before.contextSwitches) / options.idleSeconds);
    cpu.push_back((after.cpuNs - before.cpuNs) / 1e6 / options.idleSeconds);
  }
  if (session) rig.sendSession(std::nullopt);
  const char* what = session ? "session running" : "idle";
  std::printf("  %s, resident memory: %s\n", what, summary(rss, "MiB", 2).c_str());
  std::printf("  %s, of it anonymous: %s\n", what, summary(anon, "MiB", 2).c_str());
  std::printf("  %s, proportional (PSS): %s\n", what, summary(pss, "MiB", 2).c_str());
  std::printf("  %s, wake-ups per second: %s\n", what, summary(wakeups, "/s", 2).c_str());
  std::printf("  %s, CPU time per second: %s\n", what, summary(cpu, "ms/s", 3).c_str());
  std::fflush(stdout);
}

// What the companion's rescans cost here: the live tree and this machine's /proc, as the
// companion sees them (every process of our uid looked at), beside the bare reads of the
// same tree and /proc.
void liveDiscovery(const testing::ThrowawayCgroup& cgroup, const Options& options) {
  const AppDiscovery discovery(cgroup.tree(), "/proc", ::getuid(), ::getpid());
  const auto msOf = [](const auto& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  std::vector<double> times, floor;
  size_t apps = 0;
  for (int run = 0; run < options.runs; ++run) {
    times.push_back(msOf([&] { apps = discovery.scan().size(); }));
    floor.push_back(msOf([&] { bareReads(cgroup.tree().appSlice, "/proc"); }));
  }
  std::printf("  one discovery of the live tree and /proc (%zu apps): %s\n", apps,
              besideFloor(times, floor, "ms", 2).c_str());
}

int run(const Options& options) {
  testing::ThrowawayCgroup cgroup;
  if (!cgroup.why().empty()) {
    std::printf(
        "companion_live_bench: skipped: %s (it needs root and a writable cgroup v2 "
        "mount with the freezer)\n",
        cgroup.why().c_str());
    return 0;
  }
  try {
    // Its processes end before the figures with 50 apps: the companion's scans of /proc
    // would count them.
    std::optional<FreezeFloor> floor(std::in_place);
    if (!floor->why().empty()) throw std::runtime_error("no tree for the floor: " + floor->why());
    CompanionRig rig(cgroup);
    std::printf("companion pid %d, apps under %s\n", rig.companionPid(),
                cgroup.tree().appSlice.c_str());
    std::printf("\n== Idle (aims: resident memory under 3 MiB, no wake-ups)\n");
    idleCost(rig, options, false);
    std::printf("\n== Browser state to every blocked app frozen (aim: under 20 ms)\n");
    signalToFrozen(rig, *floor, options);
    std::printf("\n== A new app to frozen through inotify (aim: under 100 ms)\n");
    newAppToFrozen(rig, *floor, options, static_cast<size_t>(options.appCounts.back()));
    floor.reset();
    liveDiscovery(cgroup, options);
    std::printf("\n== With %d apps running\n", options.appCounts.back());
    idleCost(rig, options, false);
    idleCost(rig, options, true);
  } catch (const Interrupted&) {
    std::fprintf(stderr, "companion_live_bench: interrupted; all it started is gone\n");
    return 130;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "companion_live_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace quillbeam::companion::bench

int main(int argc, char** argv) {
  using namespace quillbeam::companion::bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it comes, also into a file
  Options options;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    // A whole number from 1 to 10,000 after the option.
    const auto count = [&]() -> int {
      int v = 0;
      const std::string_view text = i + 1 < args.size() ? args[i + 1] : "";
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (error != std::errc() || end != text.data() + text.size() || v < 1 || v > 10000) {
        throw std::invalid_argument(std::string(args[i]));
      }
      ++i;
      return v;
    };
    try {
      if (args[i] == "--runs") {
        options.runs = count();
      } else if (args[i] == "--idle-seconds") {
        options.idleSeconds = count();
      } else if (args[i] == "--windows") {
        options.idleWindows = count();
      } else if (args[i] == "--quick") {
        options.runs = 5;
        options.idleSeconds = 3;
        options.idleWindows = 2;
      } else {
        std::cout << kHelp;
        return args[i] == "--help" || args[i] == "-h" ? 0 : 2;
      }
    } catch (const std::invalid_argument& bad) {
      std::cerr << "companion_live_bench: " << bad.what() << " needs a whole number from 1\n";
      return 2;
    }
  }
  return run(options);
}
