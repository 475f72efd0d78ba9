#include "support/chromium.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;

bool isExecutable(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

struct ProcStat {
  std::string name;
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgid = 0;
};

// Fields 4 and 5 of /proc/<pid>/stat; the command name in field 2 may hold spaces and
// parentheses, so parsing starts after its last ')'.
std::optional<ProcStat> readStat(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  std::istringstream rest(text.substr(close + 1));
  char state = 0;
  ProcStat stat;
  stat.pid = pid;
  stat.name = text.substr(open + 1, close - open - 1);
  if (!(rest >> state >> stat.ppid >> stat.pgid)) return std::nullopt;
  return stat;
}

std::vector<ProcStat> allProcesses() {
  std::vector<ProcStat> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto stat = readStat(std::atoi(name.c_str()))) found.push_back(*stat);
  }
  return found;
}

fs::path executableOf(pid_t pid) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
}

std::vector<std::string> environmentFor(const Chromium::Options& options) {
  std::vector<std::string> env;
  std::string asanOptions;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const auto name = entry.substr(0, entry.find('='));
    if (name == "HOME" || name == "TMPDIR" || name == "DBUS_SESSION_BUS_ADDRESS" ||
        name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name.starts_with("XDG_")) {
      continue;
    }
    if (name == "ASAN_OPTIONS") {
      asanOptions = std::string(entry.substr(name.size() + 1)) + ":";
      continue;
    }
    env.emplace_back(entry);
  }
  env.push_back("HOME=" + options.home.string());
  env.push_back("TMPDIR=" + options.tmpDir.string());
  env.push_back("XDG_CONFIG_HOME=" + (options.home / ".config").string());
  env.push_back("XDG_CACHE_HOME=" + (options.home / ".cache").string());
  env.push_back("DBUS_SESSION_BUS_ADDRESS=" + options.busAddress);
  // A test may trace the bridge to learn its exit status, and LeakSanitizer cannot run
  // in a traced process; the bridge's own tests check it for leaks.
  env.push_back("ASAN_OPTIONS=" + asanOptions + "detect_leaks=0");
  return env;
}

}  // namespace

std::optional<fs::path> Chromium::find(std::string* lookedAt) {
  std::vector<fs::path> candidates;
  if (const char* chosen = std::getenv("QUILLBEAM_E2E_CHROMIUM"); chosen && *chosen) {
    candidates.emplace_back(chosen);
  } else {
    // The real binary, not Debian's /usr/bin/chromium wrapper script.
    candidates.emplace_back("/usr/lib/chromium/chromium");
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    std::istringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (dir.empty()) continue;
      candidates.push_back(fs::path(dir) / "chromium");
      candidates.push_back(fs::path(dir) / "chromium-browser");
    }
  }
  if (lookedAt) {
    lookedAt->clear();
    for (const auto& c : candidates) *lookedAt += (lookedAt->empty() ? "" : ", ") + c.string();
  }
  for (const auto& candidate : candidates) {
    if (isExecutable(candidate)) return candidate;
  }
  return std::nullopt;
}

Chromium::Chromium(Options options) : options_(std::move(options)) {
  // Helpers the browser leaves behind (its zygote, crash handler, a host whose browser
  // died) are re-parented to this process instead of to init, so they can be reaped.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);

  const int log = ::open(options_.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) throw std::runtime_error("cannot open " + options_.logFile.string());

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log, 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);

  std::vector<std::string> args{
      options_.binary.string(), "--headless=new",
      // Root cannot use the sandbox, and containers often lack what it needs.
      "--no-sandbox", "--user-data-dir=" + options_.userDataDir.string(),
      "--load-extension=" + options_.extensionDir.string(), "--no-first-run",
      "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--disable-gpu", "about:blank"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto env = environmentFor(options_);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int spawned = ::posix_spawn(&pid_, options_.binary.c_str(), &actions, &attributes,
                                    argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(log);
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + options_.binary.string() + ": " +
                             std::strerror(spawned));
  }
}

Chromium::~Chromium() {
  if (pid_ <= 0) return;
  if (!reaped_) killBrowser();
  // The group holds the zygote, renderers and utility processes, and a host still alive.
  ::kill(-pid_, SIGKILL);
  reapLeftovers();
}

bool Chromium::exited() {
  if (reaped_) return true;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return false;
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return true;
}

void Chromium::killBrowser() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void Chromium::reapLeftovers() {
  const fs::path browserFolder = options_.binary.parent_path();
  const pid_t self = ::getpid();
  // The crash handler double-forks, so a leftover may reach us a moment late: stop after a
  // few quiet rounds.
  int quietRounds = 0;
  for (int round = 0; round < 200 && quietRounds < 5; ++round) {
    bool found = false;
    for (const auto& process : allProcesses()) {
      if (process.ppid != self) continue;
      // A zombie has no executable left to look at, but keeps its name.
      const bool browsers = process.pgid == pid_ || process.name.starts_with("chrom") ||
                            executableOf(process.pid).parent_path() == browserFolder;
      if (!browsers) continue;
      found = true;
      ::kill(process.pid, SIGKILL);
      while (::waitpid(process.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    quietRounds = found ? 0 : quietRounds + 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<pid_t> Chromium::childRunning(const fs::path& executable) const {
  // The kernel names the executable by its resolved path.
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(executable, ec);
  if (ec) resolved = executable;
  for (const auto& process : allProcesses()) {
    if (process.ppid == pid_ && executableOf(process.pid) == resolved) return process.pid;
  }
  return std::nullopt;
}

std::string Chromium::logTail(size_t count) const {
  std::ifstream in(options_.logFile);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (lines.size() > count) lines.pop_front();
  }
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace quillbeam::testing
