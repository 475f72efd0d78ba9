#include "platform/linux/detached_spawn.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/linux/unique_fd.hpp"

extern char** environ;

namespace quillbeam::platform {
namespace {

[[noreturn]] void failInChild(int reportFd, int error) {
  while (write(reportFd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void becomeProgram(int reportFd, const char* file, char* const argv[],
                                const struct sigaction& defaults, const sigset_t& noSignals) {
  if (setsid() < 0) failInChild(reportFd, errno);
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) failInChild(reportFd, errno);
  for (int fd = 0; fd <= 2; ++fd) {
    if (dup2(null, fd) < 0) failInChild(reportFd, errno);
  }
  if (null > 2) close(null);
  // Descriptors the rest of the process opened without close-on-exec (the browser's
  // pipes among them) must not leak into the app. The report pipe already closes on exec.
  syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  // Ignored signals (SIGPIPE) and the blocked mask survive exec; the app gets defaults.
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  sigprocmask(SIG_SETMASK, &noSignals, nullptr);
  if (chdir("/") < 0) failInChild(reportFd, errno);
  execve(file, argv, environ);
  failInChild(reportFd, errno);
}

}  // namespace

std::optional<std::string> spawnDetached(const std::filesystem::path& executable) {
  // Everything the children need is prepared before fork: they may not allocate.
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(executable, ec);
  if (ec) return ec.message();
  std::string file = absolute.native();
  char* const argv[] = {file.data(), nullptr};
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigset_t noSignals;
  sigemptyset(&noSignals);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::generic_category().message(errno);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  const pid_t child = fork();
  if (child < 0) return std::generic_category().message(errno);
  if (child == 0) {
    // The intermediate child forks the program and exits at once, so the program is
    // adopted by init (or the nearest subreaper) and is never our child.
    const pid_t grandchild = fork();
    if (grandchild < 0) failInChild(writeEnd.get(), errno);
    if (grandchild == 0) becomeProgram(writeEnd.get(), file.c_str(), argv, defaults, noSignals);
    _exit(0);
  }
  writeEnd.reset();
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // The pipe reaches end of file when exec succeeds (close-on-exec) or the children are
  // gone; an error number arrives first otherwise.
  int error = 0;
  ssize_t n = 0;
  while ((n = read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (n == static_cast<ssize_t>(sizeof error)) return std::generic_category().message(error);
  return std::nullopt;
}

}  // namespace quillbeam::platform
