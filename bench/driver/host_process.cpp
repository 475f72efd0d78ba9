#include "host_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quillbeam::bench {
namespace {

RunFailure systemFailure(const std::string& what, int error = errno) {
  return RunFailure(what + ": " + std::strerror(error));
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

std::string frame(std::string_view payload) {
  std::string out(4, '\0');
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>(payload.size() >> (8 * i));
  return out.append(payload);
}

std::optional<MemoryUse> memoryUse(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  MemoryUse use{-1, -1};
  // Lines read "VmRSS:\t    1536 kB".
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) use.residentKiB = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) use.peakKiB = std::stol(line.substr(6));
  }
  if (use.residentKiB < 0 || use.peakKiB < 0) return std::nullopt;
  return use;
}

ScratchDir::ScratchDir(const std::string& prefix) {
  std::string pattern = std::filesystem::temp_directory_path() / (prefix + ".XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) throw systemFailure("couldn't make a directory");
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

HostProcess::HostProcess(const std::string& program, const std::vector<std::string>& environment,
                         const std::filesystem::path& stderrPath) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw systemFailure("couldn't make a pipe");
  input_ = UniqueFd(in[1]);
  const UniqueFd hostIn(in[0]);
  if (pipe2(out, O_CLOEXEC) != 0) throw systemFailure("couldn't make a pipe");
  output_ = UniqueFd(out[0]);
  const UniqueFd hostOut(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, hostIn.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, hostOut.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // The driver ignores SIGPIPE; the host starts with the default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> env;
  for (const auto& setting : environment) env.push_back(const_cast<char*>(setting.c_str()));
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const int error = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv, env.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw systemFailure("couldn't start " + program, error);
  for (int fd : {input_.get(), output_.get()}) fcntl(fd, F_SETFL, O_NONBLOCK);
}

HostProcess::~HostProcess() {
  if (reaped_ || pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Drops whole frames up to the first host hello. A host hello has "type":"hello" and an
// "appVersion", which the extension's own hello lacks, so an echo of it is no reply.
bool HostProcess::takeHello() {
  size_t at = 0;
  bool found = false;
  while (!found && replies_.size() - at >= 4) {
    size_t length = 0;
    for (size_t i = 4; i-- > 0;) length = length << 8 | static_cast<uint8_t>(replies_[at + i]);
    if (length > 8 * 1024 * 1024) {
      throw RunFailure("host wrote a frame header of " + std::to_string(length) + " bytes");
    }
    if (replies_.size() - at - 4 < length) break;
    const std::string_view payload = std::string_view(replies_).substr(at + 4, length);
    found = payload.find(R"("appVersion")") != std::string_view::npos &&
            payload.find(R"("type":"hello")") != std::string_view::npos;
    at += 4 + length;
  }
  replies_.erase(0, at);
  return found;
}

void HostProcess::exchange(std::string_view bytes, bool awaitHello, Clock::duration stall) {
  size_t written = 0;
  bool replied = !awaitHello;
  Clock::time_point lastProgress = Clock::now();
  while (written < bytes.size() || !replied) {
    if (Clock::now() >= lastProgress + stall) {
      throw RunFailure(written < bytes.size() ? "host stopped reading its input"
                                              : "host did not reply in time");
    }
    pollfd fds[2] = {{output_.get(), POLLIN, 0},
                     {written < bytes.size() ? input_.get() : -1, POLLOUT, 0}};
    if (poll(fds, 2, millisecondsUntil(lastProgress + stall)) < 0 && errno != EINTR) {
      throw systemFailure("poll failed");
    }
    if (fds[1].revents != 0) {
      const ssize_t n = write(input_.get(), bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        throw errno == EPIPE ? RunFailure("host closed its input")
                             : systemFailure("writing to the host failed");
      }
      if (n > 0) written += static_cast<size_t>(n);
      if (n > 0) lastProgress = Clock::now();
    }
    if (fds[0].revents != 0) {
      char chunk[64 * 1024];
      const ssize_t n = read(output_.get(), chunk, sizeof chunk);
      if (n == 0) throw RunFailure("host closed its output");
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        throw systemFailure("reading the host's output failed");
      }
      if (n > 0) {
        replies_.append(chunk, static_cast<size_t>(n));
        lastProgress = Clock::now();
        replied = takeHello() || replied;
      }
    }
  }
}

int HostProcess::finish(Clock::duration limit) {
  input_ = UniqueFd();
  const Clock::time_point deadline = Clock::now() + limit;
  // Exit notification where the kernel offers it, otherwise a 1 ms poll.
  const UniqueFd exited(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) throw systemFailure("waitpid failed");
    if (Clock::now() >= deadline) throw RunFailure("host did not exit in time");
    pollfd fd{exited.get(), POLLIN, 0};
    poll(&fd, 1, exited.get() >= 0 ? millisecondsUntil(deadline) : 1);
  }
  reaped_ = true;
  return status;
}

}  // namespace quillbeam::bench
