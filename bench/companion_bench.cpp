// One full discovery over a user with 1,000 app units and 1,000 processes, on a fake
// /proc and cgroup tree in a temporary directory (the shapes the kernel shows; put
// TMPDIR on a tmpfs, as /proc and cgroupfs are in memory).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "companion/app_discovery.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quillbeam::companion;

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

class FakeSystem {
 public:
  // `knownPercent` of the processes run an executable the app table knows (most of a
  // desktop's processes are not apps of the table's; a browser's are, and many).
  FakeSystem(int count, int knownPercent) {
    std::string pattern = (fs::temp_directory_path() / "qb-companion-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    const std::string manager = "/user.slice/user@" + std::to_string(::getuid()) + ".service";
    const fs::path cg = root_ / "cg";
    tree_ = CgroupTree{
        {cg, "/"}, cg / manager.substr(1), cg / (manager.substr(1) + "/app.slice"), cg / "own"};
    for (int i = 0; i < count; ++i) {
      // A tenth of the units sit in sub-slices, as GNOME's terminal does.
      const std::string unit = (i % 10 == 0 ? "app-org.gnome.Terminal.slice/" : "") +
                               std::string("app-gnome-org.example.App") + std::to_string(i % 50) +
                               "-" + std::to_string(i) + ".scope";
      const fs::path dir = tree_.appSlice / unit;
      fs::create_directories(dir);
      write(dir / "cgroup.events",
            i % 7 == 0 ? "populated 0\nfrozen 0\n" : "populated 1\nfrozen 0\n");
      write(dir / "cgroup.freeze", "0\n");

      const fs::path proc = root_ / "proc" / std::to_string(100 + i);
      fs::create_directories(proc);
      const char* known[] = {"Discord", "spotify", "firefox"};
      const char* unknown[] = {"bash", "node", "python3", "gjs", "pipewire"};
      const std::string exe = i % 100 < knownPercent ? known[i % 3] : unknown[i % 5];
      fs::create_symlink("/usr/bin/" + exe, proc / "exe");
      write(proc / "cgroup",
            "0::" + manager + "/app.slice/" + (i % 3 == 0 ? "other.scope" : unit) + "\n");
      write(proc / "stat", std::to_string(100 + i) + " (" + exe +
                               ") S 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " +
                               std::to_string(5000 + i) + " 0 0\n");
    }
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;
  ~FakeSystem() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  AppDiscovery discovery() const { return AppDiscovery(tree_, root_ / "proc", ::getuid(), 1); }

 private:
  fs::path root_;
  CgroupTree tree_;
};

void BM_FullDiscovery(benchmark::State& state) {
  const FakeSystem system(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const AppDiscovery discovery = system.discovery();
  size_t apps = 0;
  for (auto _ : state) {
    auto found = discovery.scan();
    apps = found.size();
    benchmark::DoNotOptimize(found);
  }
  state.counters["apps"] = static_cast<double>(apps);
}
BENCHMARK(BM_FullDiscovery)
    ->ArgNames({"units_and_processes", "known_percent"})
    ->Args({1000, 10})
    ->Args({1000, 50})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
