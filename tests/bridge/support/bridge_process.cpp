#include "bridge/support/bridge_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillbeam::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path BridgeProcess::builtBridge() {
  return QUILLBEAM_BRIDGE_PATH;
}

BridgeProcess::BridgeProcess(Options options) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  stderrFile_ = options.home / ("bridge-stderr-" + std::to_string(::getpid()) + "-" +
                                std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log");
  int err = ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);

  fs::path exe = options.executable.empty() ? builtBridge() : options.executable;
  std::vector<std::string> args{exe.string()};
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view v(*e);
    if (v.starts_with("HOME=") || v.starts_with("DBUS_SESSION_BUS_ADDRESS=")) continue;
    env.emplace_back(v);
  }
  env.push_back("HOME=" + options.home.string());
  if (options.busAddress) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + *options.busAddress);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err);
  if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
  input_ = in[1];
  output_ = out[0];
  if (options.closeOutput) {
    ::close(output_);
    output_ = -1;
  }
}

BridgeProcess::~BridgeProcess() {
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
  if (!exited_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove(stderrFile_, ec);
}

void BridgeProcess::sendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("write to bridge failed: ") + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void BridgeProcess::send(std::string_view json) {
  const auto n = static_cast<uint32_t>(json.size());
  char header[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                    static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
  std::string frame(header, 4);
  frame.append(json);
  sendRaw(frame);
}

void BridgeProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

bool BridgeProcess::readExactly(char* out, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{output_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = ::read(output_, out, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

std::optional<std::string> BridgeProcess::read(std::chrono::milliseconds timeout) {
  if (output_ < 0) return std::nullopt;
  auto deadline = Clock::now() + timeout;
  unsigned char header[4];
  if (!readExactly(reinterpret_cast<char*>(header), 4, deadline)) return std::nullopt;
  uint32_t n = header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t{header[3]} << 24);
  std::string body(n, '\0');
  if (!readExactly(body.data(), n, deadline)) return std::nullopt;
  return body;
}

int BridgeProcess::wait(std::chrono::milliseconds timeout) {
  if (exited_) return status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t got = ::waitpid(pid_, &raw, WNOHANG);
    if (got == pid_) {
      exited_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return status_;
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string BridgeProcess::errorText() const {
  std::ifstream in(stderrFile_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> BridgeProcess::errorLines() const {
  std::vector<std::string> lines;
  std::istringstream in(errorText());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string sessionJson(std::string_view id, std::string_view goal) {
  std::ostringstream s;
  s << R"({"id":")" << id << R"(","goal":")" << goal
    << R"(","mode":"timer","strictness":"strict","startedAt":1765000000000,)"
    << R"("endsAt":1765003600000,"milestonesDone":0,"milestonesTotal":2,)"
    << R"("anchors":["example.org"],"anchorUrl":"https://example.org/"})";
  return s.str();
}

std::string stateJson(std::optional<std::string> sessionJsonText, int64_t sentAt) {
  return R"({"type":"state","sentAt":)" + std::to_string(sentAt) + R"(,"session":)" +
         sessionJsonText.value_or("null") + "}";
}

}  // namespace quillbeam::testing
