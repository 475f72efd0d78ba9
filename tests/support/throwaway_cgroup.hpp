#pragma once

// A throwaway cgroup v2 subtree laid out like a user's manager, under the machine's
// cgroup2 mount, with processes the test starts in it. Everything it made goes when it
// does, also after a failed check: its cgroups are thawed, what runs in them (only what
// the test started there, directly or not) is killed, its own children reaped, and its
// directories removed deepest first.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "companion/desktop/cgroup_tree.hpp"
#include "support/eventually.hpp"
#include "support/file_text.hpp"

namespace quillbeam::testing {

class ThrowawayCgroup {
 public:
  // Check why() before use.
  ThrowawayCgroup() {
    if (::geteuid() != 0) {
      why_ = "making cgroups needs root";
      return;
    }
    const auto mount = companion::findCgroup2Mount(readFile("/proc/self/mountinfo"));
    if (!mount) {
      why_ = "no cgroup2 mount";
      return;
    }
    static std::atomic<int> counter = 0;
    base_ = mount->mountPoint /
            ("quillbeam-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    if (::mkdir(base_.c_str(), 0755) != 0) {
      why_ = "cannot make a cgroup under " + mount->mountPoint.string();
      base_.clear();
      return;
    }
    if (!std::filesystem::exists(base_ / "cgroup.freeze")) {
      why_ = "the kernel's cgroup v2 has no freezer";
      return;
    }
    tree_.mount = *mount;
    tree_.managerRoot = base_ / "user.slice/user-0.slice/user@0.service";
    tree_.appSlice = tree_.managerRoot / "app.slice";
    const auto own = companion::unifiedCgroupPath(readFile("/proc/self/cgroup"));
    tree_.ownCgroup = tree_.directoryOf(own.value_or("/")).value_or(mount->mountPoint);
    std::filesystem::create_directories(tree_.appSlice);
  }
  ThrowawayCgroup(const ThrowawayCgroup&) = delete;
  ThrowawayCgroup& operator=(const ThrowawayCgroup&) = delete;

  ~ThrowawayCgroup() {
    if (base_.empty()) return;
    std::vector<std::filesystem::path> dirs{base_};
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(base_, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_directory()) dirs.push_back(it->path());
    }
    for (const auto& dir : dirs) writeFile(dir / "cgroup.freeze", "0");
    for (pid_t child : children_) {
      ::kill(child, SIGKILL);  // our own child, not yet reaped: its pid is still its own
      ::waitpid(child, nullptr, 0);
    }
    std::sort(dirs.begin(), dirs.end(),
              [](const auto& a, const auto& b) { return a.native().size() > b.native().size(); });
    for (const auto& dir : dirs) {
      // What is left was started by our processes (a companion the bus activated): a
      // cgroup of our making holds nothing else.
      for (pid_t pid : processesIn(dir)) ::kill(pid, SIGKILL);
      eventually([&] { return processesIn(dir).empty(); });
      ::rmdir(dir.c_str());
    }
  }

  // Empty when the subtree was made; else why this machine cannot (not root, no writable
  // cgroup2 mount, no freezer).
  const std::string& why() const { return why_; }
  // The subtree as the companion finds a real one; ownCgroup is this test's own cgroup.
  const companion::CgroupTree& tree() const { return tree_; }

  // A unit directory under app.slice, made when missing.
  std::filesystem::path unit(const std::string& relative) const {
    const auto dir = tree_.appSlice / relative;
    std::filesystem::create_directories(dir);
    return dir;
  }

  // Starts `program` with `args` as our child, moved into `cgroup` when given; -1 when it
  // cannot. posix_spawn returns once the program runs, so what discovery reads of the
  // process is the program's.
  pid_t start(const std::string& program, std::vector<std::string> args,
              const std::filesystem::path& cgroup = {}) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      return -1;
    }
    children_.push_back(pid);
    if (!cgroup.empty()) writeFile(cgroup / "cgroup.procs", std::to_string(pid));
    return pid;
  }

  // Kills and reaps one of our children.
  void end(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
  }

  // Whether the kernel reports `cgroup` frozen, and the processes it holds.
  static bool frozen(const std::filesystem::path& cgroup) {
    return readFile(cgroup / "cgroup.events").find("frozen 1") != std::string::npos;
  }
  static std::vector<pid_t> processesIn(const std::filesystem::path& cgroup) {
    std::vector<pid_t> pids;
    std::istringstream text(readFile(cgroup / "cgroup.procs"));
    for (pid_t pid; text >> pid;) pids.push_back(pid);
    return pids;
  }

 private:
  std::string why_;
  std::filesystem::path base_;
  companion::CgroupTree tree_;
  std::vector<pid_t> children_;
};

}  // namespace quillbeam::testing
