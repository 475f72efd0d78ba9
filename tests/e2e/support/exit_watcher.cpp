#include "support/exit_watcher.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillbeam::testing {

ExitWatcher::ExitWatcher(pid_t pid) : pid_(pid) {
  thread_ = std::thread([this] { trace(); });
  // The attachment must be in place before the caller makes the process end.
  std::unique_lock guard(lock_);
  changed_.wait(guard, [this] { return attachDecided_; });
}

ExitWatcher::~ExitWatcher() {
  {
    std::lock_guard guard(lock_);
    if (!end_) ::kill(pid_, SIGKILL);
  }
  thread_.join();
}

std::optional<ProcessEnd> ExitWatcher::wait(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  changed_.wait_for(guard, timeout, [this] { return end_.has_value(); });
  return end_;
}

void ExitWatcher::finish(ProcessEnd end) {
  std::lock_guard guard(lock_);
  end_ = end;
  changed_.notify_all();
}

// Runs on the watching thread: only the thread that attached may wait for the tracee.
void ExitWatcher::trace() {
  const bool attached = ::ptrace(PTRACE_SEIZE, pid_, nullptr, nullptr) == 0;
  {
    std::lock_guard guard(lock_);
    if (!attached) traceProblem_ = std::string("cannot trace: ") + std::strerror(errno);
    attachDecided_ = true;
    changed_.notify_all();
  }
  if (!attached) {
    watchWithoutTracing();
    return;
  }
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, __WALL) < 0) {
      if (errno == EINTR) continue;
      finish(ProcessEnd{});
      return;
    }
    if (WIFEXITED(status)) {
      finish(ProcessEnd{true, WEXITSTATUS(status), 0});
      return;
    }
    if (WIFSIGNALED(status)) {
      finish(ProcessEnd{true, -1, WTERMSIG(status)});
      return;
    }
    if (WIFSTOPPED(status)) {
      // A signal on its way to the tracee (or a group stop): let it go on unchanged.
      const bool groupStop = (status >> 16) == PTRACE_EVENT_STOP;
      const long deliver = groupStop ? 0 : WSTOPSIG(status);
      ::ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(deliver));
    }
  }
}

void ExitWatcher::watchWithoutTracing() {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    ::close(fd);
  } else {
    while (::kill(pid_, 0) == 0) ::usleep(5000);
  }
  finish(ProcessEnd{});
}

}  // namespace quillbeam::testing
