// One full discovery of the running apps, as the companion makes on every change under
// app.slice and every 2 s while a session runs: on a fake /proc and cgroup tree of 1,000
// processes in a temporary directory, and on this machine's own /proc. Each beside its
// floor on the same tree (the bare reads of bare_reads.hpp), and the ratio: the times
// depend on the machine and its file systems, the ratio much less.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bare_reads.hpp"
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
  AppDiscovery discovery() const { return AppDiscovery(tree_, proc(), ::getuid(), ::getpid()); }
  size_t bareReads() const { return bench::bareReads(tree_.appSlice, proc()); }

 private:
  fs::path proc() const { return dir_.path() / "proc"; }

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

void floorFake(benchmark::State& state) {
  const FakeDesktop desktop(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(desktop.bareReads());
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

void floorThisMachine(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bareReads({}, "/proc"));
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
BENCHMARK(floorFake)->Name("Floor/fake/1000_units")->Args({1000, 1000})->Apply(repeated);
BENCHMARK(floorFake)
    ->Name("Floor/fake/1000_processes_100_units")
    ->Args({1000, 100})
    ->Apply(repeated);
BENCHMARK(floorThisMachine)->Name("Floor/this_machine_proc")->Apply(repeated);

// The usual table (as the command line asks for it), then each discovery's median beside
// its floor's, in real time and in CPU time: on a busy machine a scan waits for a CPU, and
// the CPU times compare the work alone.
class BesideFloor : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override { return table_->ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    table_->ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = {run.GetAdjustedRealTime() / 1000,
                                                run.GetAdjustedCPUTime() / 1000};
      }
    }
  }
  void Finalize() override {
    table_->Finalize();
    for (const auto& [name, ms] : medians_) {
      const auto floor = medians_.find("Floor/" + name.substr(name.find('/') + 1));
      if (!name.starts_with("Discovery/") || floor == medians_.end()) continue;
      const auto [real, cpu] = ms;
      const auto [floorReal, floorCpu] = floor->second;
      std::printf("%s: %.2f ms (CPU %.2f), floor %.2f ms (CPU %.2f), %.1fx (CPU %.1fx)\n",
                  name.c_str(), real, cpu, floorReal, floorCpu, real / floorReal, cpu / floorCpu);
    }
  }

 private:
  BenchmarkReporter* table_ = benchmark::CreateDefaultDisplayReporter();  // not ours to delete
  std::map<std::string, std::pair<double, double>> medians_;              // real and CPU, ms
};

}  // namespace
}  // namespace quillbeam::companion::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillbeam::companion::bench::BesideFloor reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
