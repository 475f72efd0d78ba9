#pragma once

// Discovery's floor: the reads no discovery can do without, and nothing else. Each unit's
// cgroup.procs says which processes run in it; the `exe` link of every other process in
// /proc says what runs outside a unit. No unit name is parsed, no cgroup.events read, no
// table consulted, no owner, cgroup or state of a process looked at.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion::bench {
namespace bare {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

inline Dir openDir(int parentFd, const char* name) {
  const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (fd >= 0 && dir == nullptr) ::close(fd);
  return Dir(dir);
}

// The processes of every unit in `slice`, slices within it followed.
inline void addMembers(DIR* slice, std::unordered_set<pid_t>& members) {
  while (const dirent* entry = ::readdir(slice)) {
    const std::string_view name = entry->d_name;
    if (entry->d_type != DT_DIR || name.starts_with('.')) continue;
    if (name.ends_with(".slice")) {
      if (Dir child = openDir(::dirfd(slice), entry->d_name)) addMembers(child.get(), members);
      continue;
    }
    const std::string file = std::string(name) + "/cgroup.procs";
    const platform::UniqueFd fd(::openat(::dirfd(slice), file.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 4096> buffer;  // enough for the units measured here
    const ssize_t n = fd ? ::read(fd.get(), buffer.data(), buffer.size()) : -1;
    for (std::string_view text(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0); !text.empty();) {
      pid_t pid = 0;
      const auto end = std::from_chars(text.data(), text.data() + text.size(), pid).ptr;
      if (pid > 0) members.insert(pid);
      text.remove_prefix(std::min(text.size(), static_cast<size_t>(end - text.data()) + 1));
    }
  }
}

}  // namespace bare

// The bare reads over the units under `appSlice` (none when empty) and the processes of
// `proc`; returns how many `exe` links it read.
inline size_t bareReads(const std::filesystem::path& appSlice, const std::filesystem::path& proc) {
  std::unordered_set<pid_t> members;
  if (!appSlice.empty()) {
    if (bare::Dir slice = bare::openDir(AT_FDCWD, appSlice.c_str())) {
      bare::addMembers(slice.get(), members);
    }
  }
  size_t links = 0;
  bare::Dir dir = bare::openDir(AT_FDCWD, proc.c_str());
  if (!dir) return 0;
  std::array<char, 4096> target;
  while (const dirent* entry = ::readdir(dir.get())) {
    pid_t pid = 0;
    const char* end = entry->d_name + std::char_traits<char>::length(entry->d_name);
    if (std::from_chars(entry->d_name, end, pid).ptr != end || members.contains(pid)) continue;
    const std::string link = std::string(entry->d_name) + "/exe";
    links += ::readlinkat(::dirfd(dir.get()), link.c_str(), target.data(), target.size()) > 0;
  }
  return links;
}

}  // namespace quillbeam::companion::bench
