// One full discovery of the running apps, as the companion makes on every change under
// app.slice and every 2 s while a session runs: on a fake /proc and cgroup tree of 1,000
// processes in a temporary directory, and on this machine's own /proc.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>

#include "companion/desktop/app_discovery.hpp"
#include "companion/desktop/cgroup_tree.hpp"
#include "fake_system.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::companion::bench {
namespace {

namespace fs = std::filesystem;
using testing::fakeProcess;
using testing::fakeUnit;

// A desktop's tree of `processes` processes: the first `inUnits` in app units of their own
// (each a known app, so each also costs the check that it lies in a listed unit); of the
// rest, one in ten a known executable outside any unit, the others the shells, services
// and helpers no table knows.
class FakeDesktop {
 public:
  FakeDesktop(int processes, int inUnits) {
    static constexpr std::array<std::pair<const char*, const char*>, 4> kApps{{
        {"com.discordapp.Discord", "discord"},
        {"com.spotify.Client", "spotify"},
        {"org.mozilla.firefox", "firefox"},
        {"com.valvesoftware.Steam", "steam"},
    }};
    const fs::path cg = dir_.path() / "cg";
    const std::string manager = "/user.slice/user@" + std::to_string(::getuid()) + ".service";
    const std::string apps = manager + "/app.slice";
    const std::string terminal = apps + "/app-org.gnome.Terminal.slice/vte-spawn-1.scope";
    const auto at = [&](const std::string& cgroup) { return cg / cgroup.substr(1); };
    fakeUnit(at(terminal), true);
    for (int i = 0; i < processes; ++i) {
      const auto& [id, exe] = kApps[static_cast<size_t>(i) % kApps.size()];
      const int pid = 1000 + i;
      if (i < inUnits) {
        const std::string unit = apps + "/app-flatpak-" + id + "-" + std::to_string(pid) + ".scope";
        fakeUnit(at(unit), true);
        fakeProcess(dir_.path() / "proc", pid, exe, unit, 'S', cg);
      } else {
        fakeProcess(dir_.path() / "proc", pid, i % 10 == 0 ? exe : "bash", terminal);
      }
    }
    tree_ = CgroupTree{Cgroup2Mount{cg, "/"}, at(manager), at(apps),
                       at(manager + "/session.slice/quillbeam-companion.service")};
  }
  AppDiscovery discovery() const {
    return AppDiscovery(tree_, dir_.path() / "proc", ::getuid(), ::getpid());
  }

 private:
  testing::ScratchDir dir_;
  CgroupTree tree_;
};

// Scans once per iteration; how many apps the last scan found.
size_t scanEach(benchmark::State& state, const AppDiscovery& discovery) {
  size_t found = 0;
  for (auto _ : state) {
    auto apps = discovery.scan();
    found = apps.size();
    benchmark::DoNotOptimize(apps);
  }
  return found;
}

void scanFake(benchmark::State& state) {
  const FakeDesktop desktop(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  state.counters["apps"] = static_cast<double>(scanEach(state, desktop.discovery()));
}

// Processes only: the user manager a root shell finds here may be some test's throwaway
// tree, which would make the figure depend on what else runs.
void scanThisMachine(benchmark::State& state) {
  const AppDiscovery discovery(std::nullopt);
  size_t processes = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    processes += std::all_of(name.begin(), name.end(), ::isdigit) ? 1 : 0;
  }
  state.counters["apps"] = static_cast<double>(scanEach(state, discovery));
  state.counters["processes"] = static_cast<double>(processes);
}

double minimum(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}
double maximum(const std::vector<double>& v) {
  return *std::max_element(v.begin(), v.end());
}

// Repeated runs report the median with min and max, like the companion's other figures.
void repeated(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)
      ->Repetitions(10)
      ->ComputeStatistics("min", minimum)
      ->ComputeStatistics("max", maximum);
}

// processes, of which in units of their own
BENCHMARK(scanFake)->Name("Discovery/fake/1000_units")->Args({1000, 1000})->Apply(repeated);
BENCHMARK(scanFake)
    ->Name("Discovery/fake/1000_processes_100_units")
    ->Args({1000, 100})
    ->Apply(repeated);
BENCHMARK(scanThisMachine)->Name("Discovery/this_machine_proc")->Apply(repeated);

}  // namespace
}  // namespace quillbeam::companion::bench

BENCHMARK_MAIN();
