#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/linux/event_loop.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion {

// Hears files of one directory being written, replaced or removed (the settings file,
// edited by hand or by quillbeam), through inotify on the loop. The directory is created
// if it does not exist yet, so a settings file made later is heard too.
class DirectoryWatch {
 public:
  // `changed` runs on the loop with the name of each file changed. Throws
  // std::system_error or std::filesystem::filesystem_error when it cannot watch.
  DirectoryWatch(platform::EventLoop& loop, const std::filesystem::path& directory,
                 std::function<void(std::string_view name)> changed);

 private:
  platform::UniqueFd inotify_;
  std::function<void(std::string_view)> changed_;
  std::unique_ptr<platform::EventLoop::Watch> watch_;
};

// Hears one process end, through a pidfd on the loop: the bridge, killed without writing
// the link, ends the extension's health without a word on the bus.
class ProcessExitWatch {
 public:
  // Absent `pid`, or one that cannot be watched (already gone): watches nothing and says
  // so through watching().
  ProcessExitWatch(platform::EventLoop& loop, int pid, std::function<void()> ended);
  int pid() const { return pid_; }
  bool watching() const { return watch_ != nullptr; }

 private:
  int pid_;
  platform::UniqueFd pidfd_;
  std::unique_ptr<platform::EventLoop::Watch> watch_;
};

}  // namespace quillbeam::companion
