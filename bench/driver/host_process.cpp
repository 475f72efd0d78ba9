#include "host_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include "proc_status.hpp"
#include "run_failure.hpp"

namespace quillbeam::bench {
namespace {

std::string errorText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw RunFailure(errorText("couldn't make a pipe", errno));
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throw RunFailure(errorText("couldn't make a pipe non-blocking", errno));
  }
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

UniqueFd openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

}  // namespace

HostProcess::HostProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         const std::filesystem::path& stderrPath) {
  if (argv.empty()) throw RunFailure("empty host command");
  Pipe in = makePipe();
  Pipe out = makePipe();

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), in.read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);

  // The driver ignores SIGPIPE; the host starts with default dispositions and no mask.
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setpgroup(attributes.get(), 0);
  posix_spawnattr_setflags(attributes.get(),
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  auto args = cStrings(argv);
  auto env = cStrings(environment);
  int error =
      posix_spawnp(&pid_, args[0], actions.get(), attributes.get(), args.data(), env.data());
  if (error != 0) throw RunFailure(errorText("couldn't start " + argv[0], error));

  input_ = std::move(in.write);
  output_ = std::move(out.read);
  setNonBlocking(input_.get());
  setNonBlocking(output_.get());
  pidfd_ = openPidfd(pid_);
}

HostProcess::~HostProcess() {
  kill();
}

void HostProcess::kill() {
  if (reaped_ || pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

void HostProcess::readAvailable() {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = read(output_.get(), chunk, sizeof chunk);
    if (n > 0) {
      replies_.add(std::string_view(chunk, static_cast<size_t>(n)));
      continue;
    }
    if (n == 0) {
      outputClosed_ = true;
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    throw RunFailure(errorText("reading the host's output failed", errno));
  }
}

void HostProcess::exchange(std::string_view bytes, bool awaitHello, Clock::duration stall) {
  // How often a silent host's CPU time is looked at.
  constexpr auto checkEvery = std::chrono::milliseconds(200);
  const Clock::time_point giveUp = Clock::now() + 20 * stall;
  size_t written = 0;
  bool replied = !awaitHello || replies_.takeHostHello();
  Clock::time_point lastProgress = Clock::now();
  std::optional<long long> lastTicks = cpuTicks(pid_);
  while (written < bytes.size() || !replied) {
    if (!replied && outputClosed_) throw RunFailure("host closed its output without replying");
    pollfd fds[2];
    nfds_t count = 0;
    int readIndex = -1;
    int writeIndex = -1;
    if (!outputClosed_) {
      fds[count] = {output_.get(), POLLIN, 0};
      readIndex = static_cast<int>(count++);
    }
    if (written < bytes.size()) {
      if (!input_) throw RunFailure("host input already closed");
      fds[count] = {input_.get(), POLLOUT, 0};
      writeIndex = static_cast<int>(count++);
    }
    const Clock::time_point now = Clock::now();
    if (now >= giveUp) throw RunFailure("host took too long");
    if (now >= lastProgress + stall) {
      throw RunFailure(written < bytes.size() ? "host stopped reading its input"
                                              : "host did not reply in time");
    }
    const Clock::time_point wake = std::min({lastProgress + stall, giveUp, now + checkEvery});
    int ready = poll(fds, count, millisecondsUntil(wake));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw RunFailure(errorText("poll failed", errno));
    }
    if (ready == 0) {
      const std::optional<long long> ticks = cpuTicks(pid_);
      if (ticks && ticks != lastTicks) lastProgress = Clock::now();
      lastTicks = ticks;
      continue;
    }

    if (writeIndex >= 0 && fds[writeIndex].revents != 0) {
      ssize_t n = write(input_.get(), bytes.data() + written, bytes.size() - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
        lastProgress = Clock::now();
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        throw RunFailure(errno == EPIPE ? "host closed its input"
                                        : errorText("writing to the host failed", errno));
      }
    }
    if (readIndex >= 0 && fds[readIndex].revents != 0) {
      readAvailable();
      lastProgress = Clock::now();
      if (!replied) replied = replies_.takeHostHello();
    }
  }
}

void HostProcess::closeInput() {
  input_.reset();
}

int HostProcess::waitExit(Clock::duration limit) {
  if (reaped_) throw RunFailure("host already reaped");
  const Clock::time_point deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) throw RunFailure(errorText("waitpid failed", errno));
    if (Clock::now() >= deadline) throw RunFailure("host did not exit in time");
    if (pidfd_) {
      pollfd fd{pidfd_.get(), POLLIN, 0};
      poll(&fd, 1, millisecondsUntil(deadline));
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }
  reaped_ = true;
  return status;
}

}  // namespace quillbeam::bench
