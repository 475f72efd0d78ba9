#include "companion/desktop/cgroup_tree.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <system_error>
#include <vector>

#include "companion/desktop/small_file.hpp"

namespace quillbeam::companion {
namespace {

namespace fs = std::filesystem;

std::vector<std::string_view> splitOn(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string_view::npos; start = at + 1) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string undoOctalEscapes(std::string_view field) {
  const auto octal = [&](size_t k) { return field[k] >= '0' && field[k] <= '7'; };
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// A cgroup path we accept: absolute, without "." or ".." components (a process in another
// cgroup namespace shows "/../.."), without empty components.
bool isPlainCgroupPath(std::string_view path) {
  if (!path.starts_with('/')) return false;
  if (path == "/") return true;
  for (std::string_view part : splitOn(path.substr(1), '/')) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

bool isNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// The manager found from the user's own processes: under user@<uid>.service if any lies
// there, else beside an app.slice.
std::optional<std::string> managerFromProcesses(const fs::path& procRoot, uid_t uid) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(procRoot.c_str()));
  if (!dir) return std::nullopt;
  std::optional<std::string> besideAppSlice;
  const std::string userUnit = "user@" + std::to_string(uid) + ".service";
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!isNumber(entry->d_name)) continue;
    struct stat info {};
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0 || info.st_uid != uid) {
      continue;
    }
    auto text = readSmallFile(procRoot / entry->d_name / "cgroup", 64 * 1024);
    if (!text) continue;
    auto path = unifiedCgroupPath(*text);
    if (!path) continue;
    auto manager = managerPathWithin(*path, uid);
    if (!manager) continue;
    if (manager->ends_with("/" + userUnit)) return manager;
    if (!besideAppSlice) besideAppSlice = std::move(manager);
  }
  return besideAppSlice;
}

}  // namespace

std::optional<fs::path> CgroupTree::directoryOf(std::string_view cgroupPath) const {
  if (!isPlainCgroupPath(cgroupPath)) return std::nullopt;
  std::string_view rest = cgroupPath;
  if (mount.root != "/") {
    if (!rest.starts_with(mount.root)) return std::nullopt;
    rest.remove_prefix(mount.root.size());
    if (!rest.empty() && !rest.starts_with('/')) return std::nullopt;
  }
  while (rest.starts_with('/')) rest.remove_prefix(1);
  if (rest.empty()) return mount.mountPoint;
  return mount.mountPoint / rest;
}

std::optional<Cgroup2Mount> findCgroup2Mount(std::string_view mountinfo) {
  std::optional<Cgroup2Mount> first;
  for (std::string_view line : splitOn(mountinfo, '\n')) {
    const size_t separator = line.find(" - ");
    if (separator == std::string_view::npos) continue;
    const std::vector<std::string_view> tail = splitOn(line.substr(separator + 3), ' ');
    if (tail.empty() || tail[0] != "cgroup2") continue;
    const std::vector<std::string_view> head = splitOn(line.substr(0, separator), ' ');
    if (head.size() < 5) continue;
    Cgroup2Mount mount{undoOctalEscapes(head[4]), undoOctalEscapes(head[3])};
    if (!mount.mountPoint.is_absolute() || !isPlainCgroupPath(mount.root)) continue;
    // A mount of the whole hierarchy is preferred over a bind mount of a part of it.
    if (mount.root == "/") return mount;
    if (!first) first = std::move(mount);
  }
  return first;
}

std::optional<std::string> unifiedCgroupPath(std::string_view procCgroup) {
  for (std::string_view line : splitOn(procCgroup, '\n')) {
    if (line.starts_with("0::")) {
      std::string_view path = line.substr(3);
      if (path.ends_with(" (deleted)")) path.remove_suffix(10);
      if (!isPlainCgroupPath(path)) return std::nullopt;
      return std::string(path);
    }
  }
  return std::nullopt;
}

std::optional<std::string> managerPathWithin(std::string_view cgroupPath, uid_t uid) {
  if (!isPlainCgroupPath(cgroupPath) || cgroupPath == "/") return std::nullopt;
  const std::string userUnit = "user@" + std::to_string(uid) + ".service";
  const std::vector<std::string_view> parts = splitOn(cgroupPath.substr(1), '/');
  std::optional<std::string> besideAppSlice;
  std::string prefix;
  for (std::string_view part : parts) {
    if (part == "app.slice" && !besideAppSlice) besideAppSlice = prefix.empty() ? "/" : prefix;
    prefix += '/';
    prefix += part;
    if (part == userUnit) return prefix;
    // Another user's manager is never ours, whatever lies below it.
    if (part.starts_with("user@") && part.ends_with(".service")) return std::nullopt;
  }
  return besideAppSlice;
}

std::variant<CgroupTree, std::string> findCgroupTree(const TreeSources& sources) {
  auto mount = findCgroup2Mount(sources.mountinfo);
  if (!mount) return std::string("cgroup v2 is not mounted (no cgroup2 entry in mountinfo)");
  auto own = unifiedCgroupPath(sources.ownCgroup);
  if (!own) return std::string("this process has no cgroup v2 path (no usable 0:: line)");

  CgroupTree tree{*mount, {}, {}, {}};
  auto ownDir = tree.directoryOf(*own);
  if (!ownDir) return "this process's cgroup " + *own + " lies outside the cgroup v2 mount";
  tree.ownCgroup = *ownDir;

  // Our own cgroup decides when it lies in the manager; only then do other processes.
  const std::string userUnit = "/user@" + std::to_string(sources.uid) + ".service";
  auto manager = managerPathWithin(*own, sources.uid);
  if (!manager || !manager->ends_with(userUnit)) {
    if (auto found = managerFromProcesses(sources.procRoot, sources.uid);
        found && (found->ends_with(userUnit) || !manager)) {
      manager = std::move(found);
    }
  }
  if (!manager) {
    return "no systemd user manager of uid " + std::to_string(sources.uid) +
           " found: this process's cgroup is " + *own +
           " and no process of the user lies under user@" + std::to_string(sources.uid) +
           ".service or an app.slice";
  }
  auto managerDir = tree.directoryOf(*manager);
  std::error_code error;
  if (!managerDir || !fs::is_directory(*managerDir, error)) {
    return "the user manager's cgroup " + *manager + " is not a directory under " +
           mount->mountPoint.string();
  }
  tree.managerRoot = *managerDir;
  tree.appSlice = *managerDir / "app.slice";
  return tree;
}

std::variant<CgroupTree, std::string> findCgroupTree() {
  TreeSources sources;
  auto mountinfo = readSmallFile("/proc/self/mountinfo");
  auto own = readSmallFile("/proc/self/cgroup", 64 * 1024);
  if (!mountinfo || !own)
    return std::string("cannot read /proc/self/mountinfo or /proc/self/cgroup");
  sources.mountinfo = std::move(*mountinfo);
  sources.ownCgroup = std::move(*own);
  sources.procRoot = "/proc";
  sources.uid = ::getuid();
  return findCgroupTree(sources);
}

}  // namespace quillbeam::companion
