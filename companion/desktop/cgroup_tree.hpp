#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// Where the user's systemd manager keeps its units in the cgroup v2 hierarchy. Found, not
// assumed: the manager's place differs between a desktop login, a container and a nested
// session, and cgroup v2 may be mounted at /sys/fs/cgroup or beside v1 in a hybrid layout.
namespace quillbeam::companion {

// The cgroup v2 mount: where it is and which cgroup path its root shows.
struct Cgroup2Mount {
  std::filesystem::path mountPoint;
  std::string root;  // "/" unless the mount shows a subtree

  friend bool operator==(const Cgroup2Mount&, const Cgroup2Mount&) = default;
};

struct CgroupTree {
  Cgroup2Mount mount;
  std::filesystem::path managerRoot;  // .../user@<uid>.service, absolute
  std::filesystem::path appSlice;     // managerRoot/app.slice (may not exist yet)
  std::filesystem::path ownCgroup;    // the companion's own cgroup directory

  // The directory of a cgroup path as /proc/<pid>/cgroup shows it, or nothing when the
  // path lies outside the mount.
  std::optional<std::filesystem::path> directoryOf(std::string_view cgroupPath) const;

  friend bool operator==(const CgroupTree&, const CgroupTree&) = default;
};

// The first cgroup2 mount in /proc/<pid>/mountinfo text (octal escapes undone).
std::optional<Cgroup2Mount> findCgroup2Mount(std::string_view mountinfo);

// The unified hierarchy's path in /proc/<pid>/cgroup text: the "0::<path>" line.
std::optional<std::string> unifiedCgroupPath(std::string_view procCgroup);

// The cgroup path of the user manager that `cgroupPath` lies in: the ancestor named
// user@<uid>.service, else the parent of an app.slice ancestor (a manager in a container
// or nested session that is not named after the user), else nothing. Nothing below
// another user's manager is ours.
std::optional<std::string> managerPathWithin(std::string_view cgroupPath, uid_t uid);

struct TreeSources {
  std::string mountinfo;           // text of /proc/self/mountinfo
  std::string ownCgroup;           // text of /proc/self/cgroup
  std::filesystem::path procRoot;  // where other processes' cgroups are read
  uid_t uid = 0;
};

// The tree, or why there is none (a sentence for the companion's log). When the companion
// runs outside its user's manager (from a terminal's session scope), the manager is found
// from the cgroups of the user's own processes.
std::variant<CgroupTree, std::string> findCgroupTree(const TreeSources& sources);

// The same, from the running system's /proc and the real user ID.
std::variant<CgroupTree, std::string> findCgroupTree();

}  // namespace quillbeam::companion
