#include "companion/desktop/app_discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "companion/desktop/cgroup_files.hpp"
#include "companion/desktop/linux_app_table.hpp"
#include "companion/desktop/process_stat.hpp"
#include "companion/desktop/small_file.hpp"
#include "companion/desktop/unit_name.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion {
namespace {

namespace fs = std::filesystem;

// Slices nest one level per dash of their name; no real tree comes near this.
constexpr int kMaxSliceDepth = 16;
constexpr std::string_view kBridgeExecutable = "quillbeam_bridge";
// Set by the launcher quillbeam-register writes for a sandboxed browser: the bridge then
// runs beside the sandbox, not below the browser, and this names the browser's app.
constexpr std::string_view kBrowserAppVariable = "QUILLBEAM_BROWSER_APP=";
// Far more than any real chain from a bridge up to its browser.
constexpr int kMaxAncestors = 64;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

DirHandle openDirectory(int dirFd, const char* path) {
  const int fd = ::openat(dirFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) ::close(fd);
  return DirHandle(dir);
}

bool isDirectory(DIR* parent, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat info {};
  return ::fstatat(::dirfd(parent), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(info.st_mode);
}

bool isSelfOrAncestor(const std::string& unit, const std::string& own) {
  return own == unit ||
         (own.size() > unit.size() && own.starts_with(unit) && own[unit.size()] == '/');
}

std::optional<pid_t> parsePid(const char* name) {
  pid_t pid = 0;
  const char* end = name + std::char_traits<char>::length(name);
  auto [ptr, error] = std::from_chars(name, end, pid);
  if (error != std::errc() || ptr != end || pid <= 0) return std::nullopt;
  return pid;
}

// Processes of the listed units, each with the index of its unit's app.
using Members = std::unordered_map<pid_t, size_t>;

class UnitScan {
 public:
  UnitScan(const std::string& ownCgroup, std::vector<RunningApp>& out,
           std::unordered_set<std::string>& listed, Members& members)
      : own_(ownCgroup), out_(out), listed_(listed), members_(members) {}

  // A slice's own app ID names the non-conforming services inside it (GNOME runs
  // gnome-terminal-server.service in app-org.gnome.Terminal.slice). Scopes inside it that
  // name no app (vte-spawn-….scope: the shells of its tabs) are not the app; what runs
  // there is left to the process scan.
  void slice(DIR* dir, const std::string& path, const std::optional<std::string>& sliceApp,
             int depth) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name.starts_with('.') || !isDirectory(dir, entry)) continue;
      std::optional<UnitName> unit = parseUnitName(name);
      const std::string childPath = path + "/" + entry->d_name;
      if (isSliceName(name)) {
        if (depth >= kMaxSliceDepth) continue;
        DirHandle child = openDirectory(::dirfd(dir), entry->d_name);
        if (!child) continue;
        std::optional<std::string> app;
        if (unit) app = unit->appId;
        slice(child.get(), childPath, app, depth + 1);
        continue;
      }
      if (!isServiceOrScopeName(name)) continue;
      std::string linuxId;
      if (unit) {
        linuxId = unit->appId;
      } else if (sliceApp && name.ends_with(".service")) {
        linuxId = *sliceApp;
      } else {
        continue;
      }
      if (isSelfOrAncestor(childPath, own_)) continue;
      const CgroupEvents events = state(::dirfd(dir), name);
      if (!events.populated) continue;
      AppIdentity identity = identify(linuxId);
      out_.push_back(RunningApp{std::move(identity.bundleID), std::move(identity.name),
                                std::move(linuxId), ShieldTarget::cgroup(childPath),
                                events.frozen});
      listed_.insert(childPath);
      addMembers(::dirfd(dir), name, out_.size() - 1);
    }
  }

 private:
  // One read of cgroup.events tells both: empty units (their processes gone, the
  // directory not yet removed) run no app, and "frozen 1" once a freeze has taken hold.
  static CgroupEvents state(int sliceFd, std::string_view unit) {
    std::array<char, 256> buffer;
    const std::string file = std::string(unit) + "/cgroup.events";
    auto n = readInto(sliceFd, file.c_str(), buffer);
    if (!n) return {};
    return parseCgroupEvents(std::string_view(buffer.data(), *n));
  }

  // The unit's processes, so that the scan of /proc knows them for the unit's: a browser's
  // unit holds dozens, each of an executable the table knows.
  void addMembers(int sliceFd, std::string_view unit, size_t app) {
    const std::string file = std::string(unit) + "/cgroup.procs";
    const platform::UniqueFd fd(::openat(sliceFd, file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return;
    std::array<char, 4096> buffer;
    std::string_view rest;
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer.data() + rest.size(), buffer.size() - rest.size());
      if (n <= 0) return;
      const std::string_view cut =
          parseCgroupProcs(std::string_view(buffer.data(), rest.size() + static_cast<size_t>(n)),
                           [this, app](pid_t pid) { members_.emplace(pid, app); });
      // A number cut by the buffer's end is carried to the next read.
      std::memmove(buffer.data(), cut.data(), cut.size());
      rest = std::string_view(buffer.data(), cut.size());
    }
  }

  const std::string& own_;
  std::vector<RunningApp>& out_;
  std::unordered_set<std::string>& listed_;
  Members& members_;
};

struct ProcessGroup {
  std::string name;
  std::string linuxId;
  std::vector<ProcessRef> refs;
  bool allStopped = true;
  bool hostsBridge = false;
};

// The app a sandboxed browser's launcher named in the bridge's environment.
std::optional<std::string> launchingApp(int procFd, pid_t pid) {
  std::array<char, 32> file;
  std::snprintf(file.data(), file.size(), "%d/environ", pid);
  std::array<char, 64 * 1024> buffer;
  auto n = readInto(procFd, file.data(), buffer);
  if (!n) return std::nullopt;
  std::string_view rest(buffer.data(), *n);
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\0'), rest.size());
    const std::string_view entry = rest.substr(0, end);
    if (entry.starts_with(kBrowserAppVariable) && entry.size() > kBrowserAppVariable.size()) {
      return std::string(entry.substr(kBrowserAppVariable.size()));
    }
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return std::nullopt;
}

// The executable's file name; a binary replaced by an update shows " (deleted)".
std::optional<std::string_view> executableName(int procFd, pid_t pid, std::span<char> buffer) {
  std::array<char, 32> link;
  std::snprintf(link.data(), link.size(), "%d/exe", pid);
  const ssize_t n = ::readlinkat(procFd, link.data(), buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::nullopt;
  std::string_view target(buffer.data(), static_cast<size_t>(n));
  if (target.ends_with(" (deleted)")) target.remove_suffix(10);
  const size_t slash = target.rfind('/');
  if (slash != std::string_view::npos) target.remove_prefix(slash + 1);
  if (target.empty()) return std::nullopt;
  return target;
}

bool sortsBefore(const RunningApp& a, const RunningApp& b) {
  if (a.bundleID != b.bundleID) return a.bundleID < b.bundleID;
  if (a.linuxId != b.linuxId) return a.linuxId < b.linuxId;
  if (a.target.isCgroup() != b.target.isCgroup()) return a.target.isCgroup();
  if (a.target.isCgroup()) {
    return a.target.cgroupDirectory().native() < b.target.cgroupDirectory().native();
  }
  return a.target.processList() < b.target.processList();
}

}  // namespace

AppDiscovery::AppDiscovery(std::optional<CgroupTree> tree, std::filesystem::path procRoot,
                           uid_t uid, pid_t self)
    : tree_(std::move(tree)), procRoot_(std::move(procRoot)), uid_(uid), self_(self) {}

AppDiscovery::AppDiscovery(std::optional<CgroupTree> tree)
    : AppDiscovery(std::move(tree), "/proc", ::getuid(), ::getpid()) {}

std::vector<RunningApp> AppDiscovery::scan() const {
  std::vector<RunningApp> apps;
  std::unordered_set<std::string> listed;
  Members members;
  std::string appSlice;
  if (tree_) {
    appSlice = tree_->appSlice.string();
    if (DirHandle dir = openDirectory(AT_FDCWD, appSlice.c_str())) {
      UnitScan(tree_->ownCgroup.string(), apps, listed, members)
          .slice(dir.get(), appSlice, std::nullopt, 0);
    }
  }

  // With a tree, a process is a candidate only inside the user's own slice (the manager's
  // parent: its units, its login sessions) and outside the units listed above: our uid in a
  // system service, a container or another login manager is not the user's app.
  const std::string userSlice = tree_ ? tree_->managerRoot.parent_path().string() : "";
  const auto isCandidate = [&](int procFd, pid_t pid) {
    if (!tree_) return true;
    std::array<char, 32> file;
    std::snprintf(file.data(), file.size(), "%d/cgroup", pid);
    std::array<char, 4096> buffer;
    auto n = readInto(procFd, file.data(), buffer);
    if (!n) return false;
    auto path = unifiedCgroupPath(std::string_view(buffer.data(), *n));
    if (!path) return false;
    auto dir = tree_->directoryOf(*path);
    if (!dir) return false;
    std::string at = dir->string();
    if (!at.starts_with(userSlice + "/")) return false;
    while (at.size() > appSlice.size() && at.starts_with(appSlice)) {
      if (listed.contains(at)) return false;
      at.resize(at.rfind('/'));
    }
    return true;
  };

  std::map<std::string, ProcessGroup> groups;
  std::unordered_map<pid_t, ProcessGroup*> grouped;  // each process taken into a group
  std::vector<pid_t> bridges;
  DirHandle proc = openDirectory(AT_FDCWD, procRoot_.c_str());
  if (!proc) {
    std::sort(apps.begin(), apps.end(), sortsBefore);
    return apps;
  }
  const int procFd = ::dirfd(proc.get());
  const auto ours = [&](const char* name) {
    struct stat info {};
    return ::fstatat(procFd, name, &info, 0) == 0 && info.st_uid == uid_;
  };
  std::array<char, 4096> exeBuffer;
  while (const dirent* entry = ::readdir(proc.get())) {
    const std::optional<pid_t> pid = parsePid(entry->d_name);
    if (!pid || *pid == self_) continue;
    // The executable first: most processes are no app of the table's, and another user's
    // cannot even be read unless we are root.
    auto exe = executableName(procFd, *pid, exeBuffer);
    if (!exe) continue;
    const auto member = members.find(*pid);
    if (*exe == kBridgeExecutable) {
      if (!ours(entry->d_name)) continue;
      if (member != members.end()) apps[member->second].hostsBridge = true;
      bridges.push_back(*pid);
      continue;
    }
    auto known = appForExecutable(*exe);
    if (!known) continue;
    if (member != members.end()) {
      // Its unit's own app; but a terminal's unit holds whatever its shells started, and a
      // process the table knows as another app is that app, paused on its own.
      const RunningApp& unitApp = apps[member->second];
      if (known->bundleID == unitApp.bundleID || known->name == unitApp.name) continue;
      if (!ours(entry->d_name)) continue;
    } else if (!ours(entry->d_name) || !isCandidate(procFd, *pid)) {
      continue;
    }
    std::array<char, 32> statFile;
    std::snprintf(statFile.data(), statFile.size(), "%d/stat", *pid);
    auto stat = readProcessStat(procFd, statFile.data());
    if (!stat) continue;
    ProcessGroup& group = groups[std::string(known->bundleID)];
    if (group.refs.empty()) {
      group.name = known->name;
      group.linuxId = *exe;
    }
    group.refs.push_back(ProcessRef{*pid, stat->startTime});
    group.allStopped = group.allStopped && stat->state == 'T';
    grouped[*pid] = &group;
  }

  // The browser a bridge runs for: the unit or app it descends from, or the one its
  // sandbox launcher named.
  for (pid_t bridge : bridges) {
    if (auto named = launchingApp(procFd, bridge)) {
      for (auto& app : apps) app.hostsBridge = app.hostsBridge || app.linuxId == *named;
    }
    pid_t at = bridge;
    for (int depth = 0; depth < kMaxAncestors; ++depth) {
      std::array<char, 32> statFile;
      std::snprintf(statFile.data(), statFile.size(), "%d/stat", at);
      auto stat = readProcessStat(procFd, statFile.data());
      if (!stat || stat->parent <= 1) break;
      at = stat->parent;
      if (auto unit = members.find(at); unit != members.end())
        apps[unit->second].hostsBridge = true;
      if (auto group = grouped.find(at); group != grouped.end()) group->second->hostsBridge = true;
    }
  }

  for (auto& [bundleID, group] : groups) {
    std::sort(group.refs.begin(), group.refs.end());
    RunningApp app{bundleID, std::move(group.name), std::move(group.linuxId),
                   ShieldTarget::processes(std::move(group.refs)), group.allStopped};
    app.hostsBridge = group.hostsBridge;
    apps.push_back(std::move(app));
  }
  std::sort(apps.begin(), apps.end(), sortsBefore);
  return apps;
}

}  // namespace quillbeam::companion
