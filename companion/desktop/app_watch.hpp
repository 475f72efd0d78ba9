#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/linux/event_loop.hpp"
#include "platform/linux/unique_fd.hpp"

// Notice of apps starting and ending, without polling: inotify on the user's app.slice
// and its sub-slices (units appear and vanish as directories) and on each unit's
// cgroup.events (its "populated" line turns 0 as soon as the unit's last process exits,
// before systemd removes the directory). Before app.slice exists, its parent is watched
// for it.
namespace quillbeam::companion {

class AppWatch {
 public:
  // `changed` runs on `loop`, at most once per batch of events: the caller rescans.
  // Throws std::system_error when inotify cannot be set up or watched on the loop.
  AppWatch(platform::EventLoop& loop, std::filesystem::path managerRoot,
           std::filesystem::path appSlice, std::function<void()> changed);
  AppWatch(const AppWatch&) = delete;
  AppWatch& operator=(const AppWatch&) = delete;
  ~AppWatch();

  // Watches held now (directories and cgroup.events files); for tests and logs.
  size_t watchCount() const { return paths_.size(); }

 private:
  void onReadable();
  // Watches `slice` and everything below it that matters.
  void addSlice(const std::filesystem::path& slice);
  void addUnit(const std::filesystem::path& unit);
  void add(const std::filesystem::path& path, uint32_t mask);
  // Drops the watches on `gone` and everything below it.
  void forget(const std::filesystem::path& gone);

  std::filesystem::path managerRoot_;
  std::filesystem::path appSlice_;
  std::function<void()> changed_;
  platform::UniqueFd inotify_;
  std::map<int, std::filesystem::path> paths_;  // by watch descriptor
  std::unique_ptr<platform::EventLoop::Watch> watch_;
};

}  // namespace quillbeam::companion
