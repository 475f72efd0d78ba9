#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "companion/desktop/cgroup_tree.hpp"
#include "companion/desktop/running_app.hpp"

// One scan of the apps the user runs. Two sources:
// - every populated service or scope of the user's app.slice (sub-slices included) that
//   names an app by the desktop convention, one entry per unit: each unit is a cgroup of
//   its own, frozen on its own, and the policy judges each by the same bundle ID anyway;
// - processes of our own uid outside those units whose executable the Linux app table
//   knows (started from a terminal, or on a desktop that makes no units), one entry per
//   app holding all its processes.
// Never listed: anything of another uid, processes outside the user's slice (a system
// service, a container), units outside app.slice (the desktop shell, session services), the unit
// the companion runs in, the companion's own process and the bridge.
namespace quillbeam::companion {

class AppDiscovery {
 public:
  // Without a tree only processes are found. `procRoot`, `uid` and `self` stand for
  // /proc, the real user ID and our pid.
  AppDiscovery(std::optional<CgroupTree> tree, std::filesystem::path procRoot, uid_t uid,
               pid_t self);
  // The running system, as this process sees it.
  explicit AppDiscovery(std::optional<CgroupTree> tree);

  // Sorted by bundle ID, then Linux ID, then target. A unit or process that vanishes
  // during the scan is left out.
  std::vector<RunningApp> scan() const;

 private:
  std::optional<CgroupTree> tree_;
  std::filesystem::path procRoot_;
  uid_t uid_;
  pid_t self_;
};

}  // namespace quillbeam::companion
