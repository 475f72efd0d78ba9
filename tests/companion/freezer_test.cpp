// Pausing and resuming on real processes in real cgroups, all started and made by the test
// itself, and what discovery sees of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "companion/desktop/app_discovery.hpp"
#include "companion/desktop/freezer.hpp"
#include "companion/desktop/process_stat.hpp"
#include "support/eventually.hpp"
#include "support/file_text.hpp"
#include "support/scratch_dir.hpp"
#include "support/throwaway_cgroup.hpp"

namespace quillbeam::companion {
namespace {

using testing::eventually;
using testing::ScratchDir;
using testing::ThrowawayCgroup;
using Status = ShieldResult::Status;
namespace fs = std::filesystem;

ProcessStat statOf(pid_t pid) {
  return readProcessStat(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/stat").c_str()).value();
}

class Freezer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cgroups.why().empty()) GTEST_SKIP() << cgroups.why();
  }
  std::vector<RunningApp> scan() const {
    return AppDiscovery(cgroups.tree(), "/proc", ::getuid(), ::getpid()).scan();
  }
  ThrowawayCgroup cgroups;
};

TEST_F(Freezer, AnAppUnitIsFoundFrozenAndThawed) {
  const fs::path unit = cgroups.unit("app-com.discordapp.Discord-1234.scope");
  const pid_t a = cgroups.start("/bin/sleep", {"1000"}, unit);
  const pid_t b = cgroups.start("/bin/sleep", {"1000"}, unit);
  const ShieldTarget target = ShieldTarget::cgroup(unit);
  const RunningApp expected{"com.hnc.Discord", "Discord", "com.discordapp.Discord", target, false};
  ASSERT_EQ(scan(), std::vector<RunningApp>{expected});

  ASSERT_TRUE(pause(target, cgroups.tree()).done());
  EXPECT_TRUE(isPaused(target));
  EXPECT_TRUE(eventually([&] { return cgroups.frozen(unit); }));
  EXPECT_TRUE(scan().at(0).paused);

  ASSERT_TRUE(resume(target, cgroups.tree()).done());
  EXPECT_FALSE(isPaused(target));
  EXPECT_TRUE(eventually([&] { return !cgroups.frozen(unit); }));
  EXPECT_EQ(scan(), std::vector<RunningApp>{expected});

  // Its processes ending empties the unit: no longer a running app.
  cgroups.end(a);
  cgroups.end(b);
  EXPECT_TRUE(eventually([&] { return scan().empty(); }));
}

TEST_F(Freezer, AProcessOnlyAppIsStoppedAndContinued) {
  ScratchDir dir;
  fs::copy_file("/bin/sleep", dir.path() / "spotify");
  fs::permissions(dir.path() / "spotify", fs::perms::owner_all);
  // Started from a terminal: in a login session of the user's slice, in no app unit.
  const fs::path session = cgroups.tree().managerRoot.parent_path() / "session-1.scope";
  fs::create_directories(session);
  const pid_t pid = cgroups.start((dir.path() / "spotify").string(), {"1000"}, session);
  const ProcessRef ref{pid, statOf(pid).startTime};

  // Other users' or tests' spotify processes may run too: only ours is acted on.
  bool found = false;
  for (const RunningApp& app : scan()) {
    if (app.target.isCgroup()) continue;
    const auto& list = app.target.processList();
    if (std::find(list.begin(), list.end(), ref) == list.end()) continue;
    found = true;
    EXPECT_EQ(app.bundleID, "com.spotify.client");
    EXPECT_EQ(app.linuxId, "spotify");
  }
  EXPECT_TRUE(found);

  const ShieldTarget target = ShieldTarget::processes({ref});
  ASSERT_TRUE(pause(target, cgroups.tree()).done());
  EXPECT_TRUE(eventually([&] { return statOf(pid).state == 'T'; }));
  EXPECT_TRUE(isPaused(target));

  // A record whose start time does not match names an earlier process that had this pid:
  // it is gone, and the process now behind the pid is not signalled (SIGCONT would wake
  // it at once).
  const ShieldResult reused =
      resume(ShieldTarget::processes({{pid, ref.startTime + 1}}), cgroups.tree());
  EXPECT_EQ(reused.status, Status::gone);
  EXPECT_EQ(statOf(pid).state, 'T');
  EXPECT_FALSE(isPaused(ShieldTarget::processes({{pid, ref.startTime + 1}})));

  ASSERT_TRUE(resume(target, cgroups.tree()).done());
  EXPECT_TRUE(eventually([&] { return statOf(pid).state != 'T'; }));
  EXPECT_FALSE(isPaused(target));

  EXPECT_EQ(pause(ShieldTarget::processes({{pid, ref.startTime + 1}}), cgroups.tree()).status,
            Status::gone);
  cgroups.end(pid);
  EXPECT_EQ(pause(target, cgroups.tree()).status, Status::gone);
  EXPECT_EQ(resume(target, cgroups.tree()).status, Status::gone);
  EXPECT_EQ(resume(target, cgroups.tree()).error, "");
}

TEST_F(Freezer, VanishedUnitsAndForbiddenPlacesAreNotWritten) {
  const fs::path gone = cgroups.tree().appSlice / "app-gone-1.scope";
  const ShieldResult paused = pause(ShieldTarget::cgroup(gone), cgroups.tree());
  EXPECT_EQ(paused.status, Status::gone);
  EXPECT_NE(paused.error.find("gone"), std::string::npos);
  EXPECT_EQ(resume(ShieldTarget::cgroup(gone), cgroups.tree()).status, Status::gone);

  ScratchDir notCgroup;
  fs::create_directories(notCgroup.path() / "app-x-1.scope");
  const fs::path unit = cgroups.unit("app-x-1.scope");
  fs::create_directory(unit / "sub.scope");
  for (const fs::path& place : {
           notCgroup.path() / "app-x-1.scope",  // not a cgroup
           cgroups.tree().appSlice,             // a slice: everything below it
           cgroups.tree().managerRoot,          // the user's manager: every unit
           unit / "sub.scope",                  // not a unit: a cgroup inside one
           fs::path("relative/app-x-1.scope"),
           cgroups.tree().appSlice / "sub/../app-x-1.scope",
       }) {
    const ShieldResult result = pause(ShieldTarget::cgroup(place), cgroups.tree());
    EXPECT_EQ(result.status, Status::refused) << place;
    EXPECT_FALSE(result.error.empty());
  }
  EXPECT_FALSE(fs::exists(notCgroup.path() / "app-x-1.scope" / "cgroup.freeze"));
  EXPECT_FALSE(isPaused(ShieldTarget::cgroup(cgroups.tree().appSlice)));
  EXPECT_EQ(
      pause(ShieldTarget::processes({{::getpid(), statOf(::getpid()).startTime}}), cgroups.tree())
          .status,
      Status::refused);
}

// A record names what to thaw, but only the app.slice of the user's own manager is ours:
// another user's manager, or ours reached through a symlinked folder, is refused.
TEST_F(Freezer, OnlyUnitsOfTheUsersOwnAppSliceAreTouched) {
  const fs::path unit = cgroups.unit("app-x-1.scope");
  ASSERT_TRUE(pause(ShieldTarget::cgroup(unit), cgroups.tree()).done());
  ScratchDir dir;
  fs::create_directory_symlink(cgroups.tree().managerRoot, dir.path() / "manager");
  const fs::path users = cgroups.tree().managerRoot.parent_path();
  for (const fs::path& place : {
           dir.path() / "manager/app.slice/app-x-1.scope",
           users / "user@4242.service/app.slice/app-x-1.scope",
       }) {
    EXPECT_EQ(resume(ShieldTarget::cgroup(place), cgroups.tree()).status, Status::refused) << place;
  }
  EXPECT_EQ(resume(ShieldTarget::cgroup(unit), std::nullopt).status, Status::refused);
  EXPECT_TRUE(isPaused(ShieldTarget::cgroup(unit)));
  EXPECT_TRUE(resume(ShieldTarget::cgroup(unit), cgroups.tree()).done());
}

// The companion never freezes the cgroup it runs in: a child stands for it, moves into a
// unit and asks for that unit to be frozen.
TEST_F(Freezer, TheCompanionsOwnUnitIsRefused) {
  const fs::path unit = cgroups.unit("app-quillbeam-1.scope");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    testing::writeFile(unit / "cgroup.procs", std::to_string(::getpid()));
    const ShieldResult result = pause(ShieldTarget::cgroup(unit), cgroups.tree());
    ::_exit(result.status == Status::refused ? 0 : 1);
  }
  int status = 0;
  const bool exited = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; });
  if (!exited) {  // it froze itself: thaw and end it
    testing::writeFile(unit / "cgroup.freeze", "0");
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_TRUE(exited);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace quillbeam::companion
