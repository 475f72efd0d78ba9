#include "companion/desktop/freezer.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <variant>
#include <vector>

#include "companion/desktop/cgroup_tree.hpp"
#include "companion/desktop/process_stat.hpp"
#include "companion/desktop/small_file.hpp"
#include "companion/desktop/unit_name.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;
using Status = ShieldResult::Status;

ShieldResult refused(std::string why) {
  return ShieldResult{Status::refused, std::move(why)};
}
ShieldResult gone(std::string why) {
  return ShieldResult{Status::gone, std::move(why)};
}

std::string errorText(int error) {
  return std::strerror(error);
}

bool isPlainAbsolute(const fs::path& path) {
  if (!path.is_absolute() || path != path.lexically_normal() || !path.has_filename()) return false;
  for (const fs::path& part : path) {
    if (part == "..") return false;
  }
  return true;
}

// Whether `directory` (a plain path opened with no symlink followed) is this process's
// own cgroup or one of its ancestors: freezing it would freeze the companion, which could
// then never thaw it. Nothing when our own cgroup cannot be found. Read afresh each time,
// so that a move of the companion is seen; the mount is the tree's.
std::optional<bool> holdsThisProcess(const fs::path& directory, const CgroupTree& tree) {
  auto own = readSmallFile("/proc/self/cgroup", 64 * 1024);
  if (!own) return std::nullopt;
  auto path = unifiedCgroupPath(*own);
  if (!path) return std::nullopt;
  auto dir = tree.directoryOf(*path);
  if (!dir) return std::nullopt;
  const std::string& ours = dir->native();
  const std::string& target = directory.native();
  return ours == target || (ours.starts_with(target) && ours[target.size()] == '/');
}

// Opens `directory` beneath `appSlice` one directory at a time, following no symlink:
// only a service or scope of that app.slice or its sub-slices. Else why not.
std::variant<UniqueFd, ShieldResult> openUnit(const fs::path& directory,
                                              const std::optional<CgroupTree>& tree, bool freeze) {
  const fs::path appSlice = tree ? tree->appSlice : fs::path();
  const std::string shown = directory.string();
  if (!isPlainAbsolute(directory) || !isServiceOrScopeName(directory.filename().string())) {
    return refused(shown + " is not the directory of a service or scope unit");
  }
  // Only an app's unit of the user's own manager: its user@<uid>.service, session scopes,
  // system services and other users' managers are not ours to touch.
  const fs::path below = directory.lexically_relative(appSlice);
  if (appSlice.empty() || below.empty() || *below.begin() == "..") {
    return refused(shown + " is not a unit in " +
                   (appSlice.empty() ? std::string("the user's app.slice") : appSlice.string()));
  }
  UniqueFd dir(::open(appSlice.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  for (auto part = below.begin(); dir && part != below.end(); ++part) {
    const std::string name = part->string();
    const bool last = std::next(part) == below.end();
    if (!last && !isSliceName(name)) return refused(shown + " is not a unit in an app.slice");
    dir = UniqueFd(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  }
  if (!dir) {
    const int error = errno;
    if (error == ENOENT) return freeze ? gone(shown + " is gone") : ShieldResult{Status::gone, {}};
    return refused(shown + ": " + errorText(error));
  }
  return dir;
}

ShieldResult setFrozen(const fs::path& directory, const std::optional<CgroupTree>& tree,
                       bool freeze) {
  const std::string shown = directory.string();
  auto opened = openUnit(directory, tree, freeze);
  if (auto* result = std::get_if<ShieldResult>(&opened)) return *result;
  const UniqueFd dir = std::get<UniqueFd>(std::move(opened));
  struct statfs fsInfo {};
  if (::fstatfs(dir.get(), &fsInfo) != 0 || fsInfo.f_type != CGROUP2_SUPER_MAGIC) {
    return refused(shown + " is not on a cgroup v2 mount");
  }
  if (freeze) {
    auto ours = holdsThisProcess(directory, *tree);
    if (!ours) return refused("cannot tell whether " + shown + " holds the companion itself");
    if (*ours) return refused(shown + " holds the companion itself");
  }
  UniqueFd control(::openat(dir.get(), "cgroup.freeze", O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!control) {
    const int error = errno;
    // A removed cgroup loses its files; one that still has cgroup.procs has no freezer
    // (kernels before 5.2).
    struct stat procs {};
    if (error == ENOENT && ::fstatat(dir.get(), "cgroup.procs", &procs, 0) != 0) {
      return freeze ? gone(shown + " is gone") : ShieldResult{Status::gone, {}};
    }
    return refused(shown + "/cgroup.freeze: " + errorText(error));
  }
  const char value = freeze ? '1' : '0';
  ssize_t n;
  do {
    n = ::write(control.get(), &value, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) return ShieldResult{};
  const int error = n < 0 ? errno : EIO;
  if (error == ENOENT || error == ENODEV) {
    return freeze ? gone(shown + " is gone") : ShieldResult{Status::gone, {}};
  }
  return refused(shown + "/cgroup.freeze: " + errorText(error));
}

// The real and effective user IDs from /proc/<pid>/status.
std::optional<std::array<uid_t, 2>> processUids(pid_t pid) {
  std::array<char, 4096> buffer;
  const std::string file = "/proc/" + std::to_string(pid) + "/status";
  auto n = readInto(AT_FDCWD, file.c_str(), buffer);
  if (!n) return std::nullopt;
  std::string_view text(buffer.data(), *n);
  const size_t at = text.find("\nUid:");
  if (at == std::string_view::npos) return std::nullopt;
  unsigned long real = 0, effective = 0;
  const std::string line(text.substr(at + 5, std::min<size_t>(80, text.size() - at - 5)));
  if (std::sscanf(line.c_str(), "%lu %lu", &real, &effective) != 2) return std::nullopt;
  return std::array<uid_t, 2>{static_cast<uid_t>(real), static_cast<uid_t>(effective)};
}

// A recorded process still alive, held by a pidfd so that a signal can reach no other.
struct HeldProcess {
  pid_t pid;
  UniqueFd pidfd;
};

enum class Check { held, gone, refused };

Check hold(const ProcessRef& ref, bool stop, std::vector<HeldProcess>& held, std::string& why) {
  if (ref.pid <= 0) {
    why = "pid " + std::to_string(ref.pid) + " is not a process";
    return Check::refused;
  }
  if (ref.pid == ::getpid()) {
    // A record's pid that is now ours names a process long gone: nothing to continue.
    if (!stop) return Check::gone;
    why = "pid " + std::to_string(ref.pid) + " is the companion itself";
    return Check::refused;
  }
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, ref.pid, 0)));
  if (!pidfd) {
    if (errno == ESRCH) return Check::gone;
    why = "pidfd_open(" + std::to_string(ref.pid) + "): " + errorText(errno);
    return Check::refused;
  }
  // Read after the pidfd is open: a match proves the pidfd holds the recorded process.
  const std::string file = "/proc/" + std::to_string(ref.pid) + "/stat";
  auto stat = readProcessStat(AT_FDCWD, file.c_str());
  if (!stat || stat->startTime != ref.startTime) return Check::gone;
  auto uids = processUids(ref.pid);
  if (!uids) return Check::gone;
  if ((*uids)[0] != ::getuid() || (*uids)[1] != ::getuid()) {
    why = "pid " + std::to_string(ref.pid) + " belongs to another user";
    return Check::refused;
  }
  held.push_back(HeldProcess{ref.pid, std::move(pidfd)});
  return Check::held;
}

int sendSignal(const HeldProcess& process, int signal) {
  if (::syscall(SYS_pidfd_send_signal, process.pidfd.get(), signal, nullptr, 0) == 0) return 0;
  return errno;
}

ShieldResult signalProcesses(const std::vector<ProcessRef>& refs, bool stop) {
  std::vector<HeldProcess> held;
  std::string why;
  // A pause checks everything before anything is signalled, so that a refusal changes
  // nothing; a resume continues whatever it may and says what it could not.
  for (const ProcessRef& ref : refs) {
    std::string refusal;
    if (hold(ref, stop, held, refusal) != Check::refused) continue;
    if (stop) return refused(refusal);
    why = refusal;
  }
  std::vector<const HeldProcess*> signalled;
  for (const HeldProcess& process : held) {
    const int error = sendSignal(process, stop ? SIGSTOP : SIGCONT);
    if (error == 0) {
      signalled.push_back(&process);
    } else if (error != ESRCH) {
      if (stop) {
        for (const HeldProcess* done : signalled) sendSignal(*done, SIGCONT);
        return refused("SIGSTOP to pid " + std::to_string(process.pid) + ": " + errorText(error));
      }
      why = "SIGCONT to pid " + std::to_string(process.pid) + ": " + errorText(error);
    }
  }
  if (!why.empty()) return refused(why);
  if (signalled.empty()) {
    return stop ? gone("none of the app's processes is left") : ShieldResult{Status::gone, {}};
  }
  return ShieldResult{};
}

}  // namespace

ShieldResult pause(const ShieldTarget& target, const std::optional<CgroupTree>& tree) {
  if (target.isCgroup()) return setFrozen(target.cgroupDirectory(), tree, true);
  return signalProcesses(target.processList(), true);
}

ShieldResult resume(const ShieldTarget& target, const std::optional<CgroupTree>& tree) {
  if (target.isCgroup()) return setFrozen(target.cgroupDirectory(), tree, false);
  return signalProcesses(target.processList(), false);
}

bool isPaused(const ShieldTarget& target) {
  if (target.isCgroup()) {
    std::array<char, 8> buffer;
    const fs::path file = target.cgroupDirectory() / "cgroup.freeze";
    auto n = readInto(AT_FDCWD, file.c_str(), buffer);
    return n && *n > 0 && buffer[0] == '1';
  }
  bool anyAlive = false;
  for (const ProcessRef& ref : target.processList()) {
    const std::string file = "/proc/" + std::to_string(ref.pid) + "/stat";
    auto stat = readProcessStat(AT_FDCWD, file.c_str());
    if (!stat || stat->startTime != ref.startTime) continue;
    if (stat->state != 'T') return false;
    anyAlive = true;
  }
  return anyAlive;
}

}  // namespace quillbeam::companion
