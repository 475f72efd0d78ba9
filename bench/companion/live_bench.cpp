// companion_live_bench: the companion's latencies and idle cost, measured from the outside
// on real processes. Needs root and a writable cgroup v2 mount; elsewhere it says why and
// exits 0. Only processes it starts, in cgroups it makes, are ever paused, and all of it
// is gone when it ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
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
  int churnUnits = 10000;
  int churnBatch = 500;
};

constexpr std::string_view kHelp =
    R"(Usage: companion_live_bench [--runs N] [--idle-seconds S] [--windows W] [--churn U] [--quick]
Measures, on real processes in a throwaway cgroup tree, with the real bridge on a private bus:
  - a state message with a session to every blocked app unit frozen, and the thaw when the
    session ends, for 1, 10 and 50 units (N runs each);
  - a new app unit to frozen while a session runs (N runs);
  - the companion's resident memory and wake-ups over W windows of S seconds, idle and
    with a session running;
  - its inotify watches and resident memory before and after U app units (empty, no
    session running) were made and removed, 500 at a time (--churn U, 10,000 by default).
Figures are median (min-max). Beside each latency, the same change made by this program
itself on units of its own (no bus, no companion) in the same run, and the ratio.
--quick: 5 runs, 2 windows of 3 s, 1,000 units made and removed.
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

std::string withCommas(long long n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// Waits until the companion has been off the CPU, with the same watches, for `quiet`
// seconds, and returns its figures then. Throws when that takes over a minute.
std::pair<ProcessSample, size_t> settled(CompanionRig& rig, double quiet) {
  const auto deadline = Clock::now() + std::chrono::minutes(1);
  ProcessSample last = rig.sample();
  size_t watches = rig.inotifyWatches();
  auto since = Clock::now();
  for (;;) {
    rig.pause(0.02);
    const ProcessSample now = rig.sample();
    const size_t nowWatches = rig.inotifyWatches();
    if (now.cpuNs != last.cpuNs || nowWatches != watches) {
      since = Clock::now();
    } else if (Clock::now() - since >= std::chrono::duration<double>(quiet)) {
      return {now, nowWatches};
    }
    last = now;
    watches = nowWatches;
    if (Clock::now() > deadline) throw std::runtime_error("the companion did not settle in 1 min");
  }
}

// Units that come and go for the whole desktop session must cost the companion nothing once
// gone: cgroupfs announces no IN_IGNORED for a removed cgroup, so a watch the companion does
// not drop itself stays until it exits. Each batch is made, held until the companion watches
// every unit of it (proof that each removal has a watch to drop), then removed. The units
// hold no process (none is needed for the watch), so rmdir removes them, here or, on any
// way out, in the guard below.
void unitChurn(CompanionRig& rig, const testing::ThrowawayCgroup& cgroup, const Options& options) {
  struct Batch {
    std::vector<fs::path> units;
    ~Batch() {
      for (const auto& unit : units) ::rmdir(unit.c_str());
    }
    void removeAll() {
      for (const auto& unit : units) {
        if (::rmdir(unit.c_str()) != 0 && errno != ENOENT) {
          throw std::runtime_error("cannot remove " + unit.string());
        }
      }
      units.clear();
    }
  } batch;
  const fs::path slice = cgroup.tree().appSlice;
  const std::string prefix = "app-gnome-org.example.Tool-";
  const auto [before, watchesBefore] = settled(rig, 0.5);
  size_t most = watchesBefore;
  const auto start = Clock::now();
  for (int made = 0; made < options.churnUnits;) {
    const int count = std::min(options.churnBatch, options.churnUnits - made);
    const size_t base = rig.inotifyWatches();
    for (int i = 0; i < count; ++i, ++made) {
      batch.units.push_back(slice / (prefix + std::to_string(made) + ".scope"));
      if (::mkdir(batch.units.back().c_str(), 0755) != 0) {
        batch.units.pop_back();
        throw std::runtime_error("cannot make a unit under " + slice.string());
      }
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (size_t watches = rig.inotifyWatches(); watches < base + batch.units.size();
         watches = rig.inotifyWatches()) {
      if (Clock::now() > deadline) {
        throw std::runtime_error("the companion watches " + std::to_string(watches - base) +
                                 " of " + std::to_string(count) + " new units after 10 s");
      }
      rig.pause(0.005);
    }
    most = std::max(most, rig.inotifyWatches());
    batch.removeAll();
    settled(rig, 0.1);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto [after, watchesAfter] = settled(rig, 0.5);
  for (const auto& entry : fs::directory_iterator(slice)) {
    if (entry.path().filename().string().starts_with(prefix)) {
      throw std::runtime_error(entry.path().string() + " was left behind");
    }
  }
  std::printf(
      "  %s unit%s made and removed, %d at a time: inotify watches %zu -> %zu (at most %zu), "
      "resident memory %.2f -> %.2f MiB, of it anonymous %.2f -> %.2f MiB\n",
      withCommas(options.churnUnits).c_str(), options.churnUnits == 1 ? "" : "s",
      options.churnBatch, watchesBefore, watchesAfter, most, before.rssKiB / 1024,
      after.rssKiB / 1024, before.anonKiB / 1024, after.anonKiB / 1024);
  std::printf("  the companion's CPU time over it: %.2f s in %.1f s\n",
              (after.cpuNs - before.cpuNs) / 1e9, seconds);
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
    std::printf(
        "\n== App units coming and going, no session running (aims: the watches back where "
        "they were, memory not growing with the units that went)\n");
    unitChurn(rig, cgroup, options);
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
  std::optional<int> churn;  // --churn wins over --quick, in either order
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
        options.churnUnits = 1000;
      } else if (args[i] == "--churn") {
        churn = count();
      } else {
        std::cout << kHelp;
        return args[i] == "--help" || args[i] == "-h" ? 0 : 2;
      }
    } catch (const std::invalid_argument& bad) {
      std::cerr << "companion_live_bench: " << bad.what() << " needs a whole number from 1\n";
      return 2;
    }
  }
  if (churn) options.churnUnits = *churn;
  return run(options);
}
