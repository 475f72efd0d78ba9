#include "companion/desktop/app_watch.hpp"

#include <gtest/gtest.h>

#include "fake_system.hpp"
#include "platform/loop_driver.hpp"
#include "support/scratch_dir.hpp"
#include "support/throwaway_cgroup.hpp"

namespace quillbeam::companion {
namespace {

using platform::testing::runUntil;
using testing::fakeUnit;
namespace fs = std::filesystem;

struct Counted {
  int calls = 0;
  std::function<void()> callback() {
    return [this] { ++calls; };
  }
};

TEST(AppWatch, NoticesUnitsInSubSlicesAndAppSliceAppearingLate) {
  testing::ScratchDir root;
  const fs::path manager = root.path() / "user@0.service";
  fs::create_directories(manager);
  platform::EventLoop loop;
  Counted seen;
  AppWatch watch(loop, manager, manager / "app.slice", seen.callback());

  // Not ours to report. Outside cgroupfs inotify queues the event before mkdir returns,
  // so one turn takes it in.
  fs::create_directories(manager / "other.slice");
  loop.turn(std::chrono::milliseconds(0));
  EXPECT_EQ(seen.calls, 0);
  fs::create_directory(manager / "app.slice");
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls == 1; }));
  fs::create_directory(manager / "app.slice/app-gnome.slice");
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls == 2; }));
  const fs::path unit = manager / "app.slice/app-gnome.slice/app-gnome-x-1.scope";
  fakeUnit(unit, true);  // a mkdir and writes, seen in one batch or more
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls >= 3; }));
  const int before = seen.calls;
  testing::writeFile(unit / "cgroup.events", "populated 0\nfrozen 0\n");
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls > before; }));
  fs::remove_all(unit);
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls > before + 1; }));
}

// cgroupfs itself: a unit appearing, then its last process exiting (populated 0).
TEST(AppWatch, NoticesARealUnitAndItsLastProcessEnding) {
  testing::ThrowawayCgroup cgroups;
  if (!cgroups.why().empty()) GTEST_SKIP() << cgroups.why();
  platform::EventLoop loop;
  Counted seen;
  AppWatch watch(loop, cgroups.tree().managerRoot, cgroups.tree().appSlice, seen.callback());
  const fs::path unit = cgroups.unit("app-org.videolan.VLC-7.scope");
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls >= 1; }));
  const pid_t pid = cgroups.start("/bin/sleep", {"1000"}, unit);
  ASSERT_TRUE(runUntil(loop, [&] { return seen.calls >= 2; }));
  const int before = seen.calls;
  cgroups.end(pid);
  EXPECT_TRUE(runUntil(loop, [&] { return seen.calls > before; }));
}

// A desktop makes a unit for every launch: the watches of those that went must go too, or
// they come out of the user's inotify budget for good (cgroupfs sends no IN_IGNORED).
TEST(AppWatch, DropsTheWatchesOfUnitsThatWent) {
  testing::ThrowawayCgroup cgroups;
  if (!cgroups.why().empty()) GTEST_SKIP() << cgroups.why();
  platform::EventLoop loop;
  Counted seen;
  AppWatch watch(loop, cgroups.tree().managerRoot, cgroups.tree().appSlice, seen.callback());
  const size_t idle = watch.watchCount();
  const fs::path slice = cgroups.unit("app-gnome.slice");
  std::vector<fs::path> units;
  for (int i = 0; i < 300; ++i) {
    units.push_back(
        cgroups.unit("app-gnome.slice/app-gnome-org.example.Tool-" + std::to_string(i) + ".scope"));
  }
  ASSERT_TRUE(runUntil(loop, [&] { return watch.watchCount() == idle + 1 + units.size(); }));
  for (const auto& unit : units) ASSERT_EQ(::rmdir(unit.c_str()), 0) << unit;
  ASSERT_EQ(::rmdir(slice.c_str()), 0);
  EXPECT_TRUE(runUntil(loop, [&] { return watch.watchCount() == idle; }))
      << watch.watchCount() << " watches, " << idle << " when idle";
}

}  // namespace
}  // namespace quillbeam::companion
