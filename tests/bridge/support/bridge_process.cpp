#include "bridge/support/bridge_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "support/eventually.hpp"

extern char** environ;

namespace quillbeam::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

BridgeProcess::BridgeProcess(Options options) {
  // A bridge that has ended makes our writes fail with EPIPE instead of killing the test.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  stderrFile_ = options.home / ("stderr-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
  const int streams[] = {
      in[0], out[1], ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, streams[i], i);
  const fs::path exe =
      options.executable.empty() ? fs::path(QUILLBEAM_BRIDGE_PATH) : options.executable;
  // Never the user's own bus: neither its address nor the runtime directory it lies in.
  std::vector<std::string> env{"HOME=" + options.home.string()};
  if (options.busAddress) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + *options.busAddress);
  if (options.runtimeDir) env.push_back("XDG_RUNTIME_DIR=" + *options.runtimeDir);
  for (char** e = environ; *e; ++e) {
    const std::string_view v(*e);
    if (!v.starts_with("HOME=") && !v.starts_with("DBUS_SESSION_BUS_ADDRESS=") &&
        !v.starts_with("XDG_RUNTIME_DIR="))
      env.emplace_back(v);
  }
  std::vector<char*> envp;
  for (auto& text : env) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string arg0 = exe.string();
  char* argv[] = {arg0.data(), nullptr};
  const int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : streams) ::close(fd);
  input_ = in[1];
  output_ = out[0];
  if (rc != 0) throw std::runtime_error("spawn: " + std::generic_category().message(rc));
  if (options.closeOutput) ::close(std::exchange(output_, -1));
}

BridgeProcess::~BridgeProcess() {
  closeInput();
  if (output_ >= 0) ::close(output_);
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove(stderrFile_, ec);
}

// No signal handler is installed, so no call here is interrupted.
bool BridgeProcess::sendRaw(std::string_view bytes) {
  for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(n))) {
    if ((n = ::write(input_, bytes.data(), bytes.size())) < 0) return false;
  }
  return true;
}

bool BridgeProcess::send(std::string_view json) {
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((json.size() >> (8 * i)) & 0xff);
  return sendRaw(frame.append(json));
}

void BridgeProcess::closeInput() {
  if (input_ >= 0) ::close(std::exchange(input_, -1));
}

std::optional<std::string> BridgeProcess::read(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const auto readExactly = [&](char* out, size_t n) {
    for (ssize_t got = 0; n > 0; out += got, n -= static_cast<size_t>(got)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{output_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 ||
          (got = ::read(output_, out, n)) <= 0) {
        return false;
      }
    }
    return true;
  };
  unsigned char header[4];
  if (output_ < 0 || !readExactly(reinterpret_cast<char*>(header), 4)) return {};
  std::string body(header[0] | header[1] << 8 | header[2] << 16 | size_t{header[3]} << 24, '\0');
  if (!readExactly(body.data(), body.size())) return {};
  return body;
}

int BridgeProcess::wait(std::chrono::milliseconds timeout) {
  const auto reaped = [&] {
    int raw = 0;
    if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return status_.has_value();
  };
  eventually(reaped, {}, timeout);
  return status_.value_or(-1);
}

std::vector<std::string> BridgeProcess::errorLines() const {
  std::vector<std::string> lines;
  std::ifstream in(stderrFile_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string sessionJson(std::string_view id, std::string_view goal) {
  return R"({"id":")" + std::string(id) + R"(","goal":")" + std::string(goal) +
         R"(","mode":"timer","strictness":"strict","startedAt":1765000000000,)"
         R"("endsAt":1765003600000,"milestonesDone":0,"milestonesTotal":2,)"
         R"("anchors":["example.org"],"anchorUrl":"https://example.org/"})";
}

std::string stateJson(std::optional<std::string> sessionJsonText, int64_t sentAt) {
  return R"({"type":"state","sentAt":)" + std::to_string(sentAt) + R"(,"session":)" +
         sessionJsonText.value_or("null") + "}";
}

}  // namespace quillbeam::testing
