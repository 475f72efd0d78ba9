#include "companion/desktop/app_watch.hpp"

#include <sys/epoll.h>
#include <sys/inotify.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "companion/desktop/unit_name.hpp"

namespace quillbeam::companion {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDirectoryMask = IN_CREATE | IN_DELETE | IN_ONLYDIR;
constexpr int kMaxSliceDepth = 16;  // as deep as discovery looks

}  // namespace

AppWatch::AppWatch(platform::EventLoop& loop, fs::path managerRoot, fs::path appSlice,
                   std::function<void()> changed)
    : managerRoot_(std::move(managerRoot)),
      appSlice_(std::move(appSlice)),
      changed_(std::move(changed)),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!inotify_) throw std::system_error(errno, std::generic_category(), "inotify_init1");
  // The manager's root first: app.slice may come or go while we look.
  const int root = ::inotify_add_watch(inotify_.get(), managerRoot_.c_str(), kDirectoryMask);
  if (root < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "inotify_add_watch " + managerRoot_.string());
  }
  paths_[root] = managerRoot_;
  addSlice(appSlice_);
  watch_ = loop.watch(inotify_.get(), EPOLLIN, [this](uint32_t) { onReadable(); });
}

AppWatch::~AppWatch() = default;

void AppWatch::add(const fs::path& path, uint32_t mask) {
  // A watch that cannot be added (the directory just went, or the user's inotify watches
  // ran out) loses only that part: the directory's removal is still seen from its parent.
  const int wd = ::inotify_add_watch(inotify_.get(), path.c_str(), mask);
  if (wd >= 0) paths_[wd] = path;
}

void AppWatch::addSlice(const fs::path& slice) {
  int depth = 0;
  for (fs::path at = slice; at != appSlice_ && at.has_parent_path() && at != at.parent_path();
       at = at.parent_path()) {
    ++depth;
  }
  if (depth > kMaxSliceDepth) return;
  add(slice, kDirectoryMask);
  // Watched before listed, so a child made meanwhile is seen one way or the other.
  std::error_code error;
  for (fs::directory_iterator it(slice, error), end; !error && it != end; it.increment(error)) {
    std::error_code entryError;
    if (!it->is_directory(entryError) || it->is_symlink(entryError)) continue;
    const std::string name = it->path().filename().string();
    if (isSliceName(name)) {
      addSlice(it->path());
    } else if (isServiceOrScopeName(name)) {
      addUnit(it->path());
    }
  }
}

void AppWatch::addUnit(const fs::path& unit) {
  add(unit / "cgroup.events", IN_MODIFY);
}

void AppWatch::forget(const fs::path& gone) {
  // cgroupfs sends no IN_IGNORED when a cgroup is removed: without this, every unit that
  // ever ran would keep a watch out of the user's inotify budget.
  const std::string prefix = gone.string() + "/";
  for (auto it = paths_.begin(); it != paths_.end();) {
    const std::string& path = it->second.native();
    if (path == gone.native() || path.starts_with(prefix)) {
      ::inotify_rm_watch(inotify_.get(), it->first);
      it = paths_.erase(it);
    } else {
      ++it;
    }
  }
}

void AppWatch::onReadable() {
  alignas(inotify_event) char buffer[16 * 1024];
  bool relevant = false;
  for (;;) {
    const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const std::string name = event.len > 0 ? std::string(buffer + at + sizeof event) : "";
      at += static_cast<ssize_t>(sizeof event + event.len);

      if (event.mask & IN_Q_OVERFLOW) {
        // Events were lost: watch all that is there now, forget what went, and let the
        // caller rescan.
        std::vector<fs::path> gone;
        for (const auto& [wd, path] : paths_) {
          std::error_code error;
          if (!fs::exists(path, error)) gone.push_back(path);
        }
        for (const auto& path : gone) forget(path);
        addSlice(appSlice_);
        relevant = true;
        continue;
      }
      if (event.mask & IN_IGNORED) {
        paths_.erase(event.wd);
        continue;
      }
      auto it = paths_.find(event.wd);
      if (it == paths_.end()) continue;
      const fs::path& where = it->second;
      if (event.mask & IN_MODIFY) {
        relevant = true;
        continue;
      }
      if (!(event.mask & IN_ISDIR)) continue;
      if (where == managerRoot_ && where / name != appSlice_) continue;
      relevant = true;
      const fs::path child = where / name;
      if (event.mask & IN_DELETE) {
        forget(child);
        continue;
      }
      if (!(event.mask & IN_CREATE)) continue;
      if (child == appSlice_ || isSliceName(name)) {
        addSlice(child);
      } else if (isServiceOrScopeName(name)) {
        addUnit(child);
      }
    }
  }
  if (!relevant) return;
  // A copy: the callback may end this watch.
  std::function<void()> callback = changed_;
  callback();
}

}  // namespace quillbeam::companion
