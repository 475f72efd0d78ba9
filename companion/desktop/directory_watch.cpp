#include "directory_watch.hpp"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quillbeam::companion {

DirectoryWatch::DirectoryWatch(platform::EventLoop& loop, const std::filesystem::path& directory,
                               std::function<void(std::string_view)> changed)
    : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), changed_(std::move(changed)) {
  if (!inotify_) throw std::system_error(errno, std::generic_category(), "inotify");
  std::filesystem::create_directories(directory);
  if (::inotify_add_watch(inotify_.get(), directory.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
    throw std::system_error(errno, std::generic_category(), "inotify on " + directory.string());
  }
  watch_ = loop.watch(inotify_.get(), EPOLLIN, [this](uint32_t) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0) changed_(event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
}

ProcessExitWatch::ProcessExitWatch(platform::EventLoop& loop, int pid, std::function<void()> ended)
    : pid_(pid) {
  if (pid <= 0) return;
  pidfd_ = platform::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd_) return;
  watch_ = loop.watch(pidfd_.get(), EPOLLIN, [this, ended = std::move(ended)](uint32_t) {
    watch_.reset();  // readable for good once the process ended
    ended();
  });
}

}  // namespace quillbeam::companion
