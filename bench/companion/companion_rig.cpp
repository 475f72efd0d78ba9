#include "companion_rig.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "companion/desktop/small_file.hpp"

namespace quillbeam::companion::bench {
namespace {

namespace fs = std::filesystem;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}

bool hasExited(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

std::string quoted(const fs::path& path) {
  if (path.native().find('\'') != std::string::npos) {
    throw std::runtime_error("a path with a quote: " + path.string());
  }
  std::string out(1, '\'');
  out.append(path.native()).push_back('\'');
  return out;
}

}  // namespace

CompanionRig::CompanionRig(testing::ThrowawayCgroup& cgroup)
    : cgroup_(cgroup),
      home_(bus_.scratchDir() / "home"),
      runtime_(bus_.scratchDir() / "runtime"),
      log_(bus_.scratchDir() / "companion.log") {
  // Held from here on: every process started below inherits the mask, and the waits
  // below turn a pending one into an exception. The bus daemon, started already, keeps
  // the default disposition.
  const sigset_t held = stopSignals();
  ::sigprocmask(SIG_BLOCK, &held, nullptr);
  fs::create_directories(home_);
  fs::create_directories(runtime_);
  fs::permissions(runtime_, fs::perms::owner_all, fs::perm_options::replace);

  // Started inside the tree, as its user unit would be, so that it finds the manager.
  const fs::path own = cgroup_.tree().managerRoot / "session.slice/quillbeam-companion.service";
  fs::create_directories(own);
  const std::string script =
      "echo 0 > " + quoted(own / "cgroup.procs") + " || exit 1\n" + "export HOME=" + quoted(home_) +
      " XDG_RUNTIME_DIR=" + quoted(runtime_) + " XDG_CONFIG_HOME=" + quoted(home_ / ".config") +
      " DBUS_SESSION_BUS_ADDRESS='" + bus_.address() + "'\n" + "exec " +
      quoted(QUILLBEAM_COMPANION_PATH) + " 2>>" + quoted(log_);
  companion_ = cgroup_.start("/bin/sh", {"-c", script});
  if (companion_ < 0) throw std::runtime_error("cannot start the companion");
  try {
    awaitStart();
  } catch (...) {
    stopCompanion();  // no destructor runs for a constructor that throws
    throw;
  }
}

void CompanionRig::awaitStart() {
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (readSmallFile(log_).value_or("").find("watching the apps under") == std::string::npos) {
    if (hasExited(companion_) || Clock::now() > deadline) {
      throw std::runtime_error("the companion did not start: " + readSmallFile(log_).value_or(""));
    }
    pause(0.005);
  }

  bridge_ = std::make_unique<quillbeam::testing::BridgeProcess>(
      quillbeam::testing::BridgeProcess::Options{
          home_, bus_.address(), {}, false, runtime_.string()});
  bridge_->send(R"({"type":"hello"})");
  if (!bridge_->read()) throw std::runtime_error("the bridge did not answer its hello");
}

CompanionRig::~CompanionRig() {
  stopCompanion();
  bridge_.reset();
  for (auto& [unit, pid] : apps_) cgroup_.end(pid);
}

// SIGTERM, so that the companion resumes what it paused, then reaped by the tree's guard.
// One that does not end in time is killed; the guard thaws its units anyway.
void CompanionRig::stopCompanion() {
  if (companion_ < 0) return;
  ::kill(companion_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!hasExited(companion_) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  cgroup_.end(companion_);
  companion_ = -1;
}

fs::path CompanionRig::startApp(const std::string& name) {
  const fs::path unit = cgroup_.unit(name);
  events_.add(unit);
  const pid_t pid = cgroup_.start("/bin/sleep", {"1000000"}, unit);
  if (pid < 0) throw std::runtime_error("cannot start sleep");
  apps_.emplace_back(unit, pid);
  return unit;
}

void CompanionRig::endApp(const fs::path& unit) {
  for (auto it = apps_.begin(); it != apps_.end(); ++it) {
    if (it->first != unit) continue;
    cgroup_.end(it->second);  // SIGKILL ends a frozen process too
    apps_.erase(it);
    break;
  }
  msUntil(Clock::now(), [&] {
    return readSmallFile(unit / "cgroup.events").value_or("").find("populated 0") !=
           std::string::npos;
  });
  ::rmdir(unit.c_str());
}

Clock::time_point CompanionRig::sendSession(const std::optional<std::string>& id) {
  using namespace std::chrono;
  const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  std::optional<std::string> session;
  if (id) {
    session = R"({"id":")" + *id +
              R"(","goal":"Deep work","mode":"timer","strictness":"strict","startedAt":)" +
              std::to_string(now - 60000) + R"(,"endsAt":)" + std::to_string(now + 3600000) +
              R"(,"milestonesDone":0,"milestonesTotal":0,"anchors":["example.org"],)"
              R"("anchorUrl":"https://example.org/"})";
  }
  // What the companion told the extension before ("app-blocked") is read off first, so
  // that the bridge never blocks on a full pipe.
  while (bridge_->read(milliseconds(5))) {  // whole milliseconds: 1 would not wait at all
  }
  const std::string message = quillbeam::testing::stateJson(session, now);
  const auto sent = Clock::now();
  if (!bridge_->send(message)) throw std::runtime_error("the bridge stopped reading");
  return sent;
}

double CompanionRig::msUntil(Clock::time_point start, const std::function<bool()>& done) {
  return events_.msUntil(
      start, done, [&] { return "the companion's log:\n" + readSmallFile(log_).value_or(""); });
}

void CompanionRig::pause(double seconds) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    throwIfInterrupted();
    const Clock::duration step = std::chrono::milliseconds(50);
    std::this_thread::sleep_for(std::min(end - now, step));
  }
}

ProcessSample CompanionRig::sample() const {
  const fs::path proc = "/proc/" + std::to_string(companion_);
  ProcessSample out;
  const auto field = [](const std::string& text, std::string_view key) {
    std::string line(1, '\n');
    line += key;
    const size_t at = text.find(line);
    return at == std::string::npos ? 0.0 : std::atof(text.c_str() + at + 1 + key.size());
  };
  const std::string status = readSmallFile(proc / "status").value_or("");
  out.rssKiB = field(status, "VmRSS:");
  out.anonKiB = field(status, "RssAnon:");
  out.contextSwitches =
      field(status, "voluntary_ctxt_switches:") + field(status, "nonvoluntary_ctxt_switches:");
  out.pssKiB = field(readSmallFile(proc / "smaps_rollup").value_or(""), "Pss:");
  // The first field of schedstat: nanoseconds on a CPU, finer than stat's clock ticks.
  out.cpuNs = std::atof(readSmallFile(proc / "schedstat").value_or("").c_str());
  if (out.rssKiB == 0) throw std::runtime_error("the companion is gone");
  return out;
}

size_t CompanionRig::inotifyWatches() const {
  const fs::path proc = "/proc/" + std::to_string(companion_);
  size_t watches = 0;
  std::error_code error;
  for (fs::directory_iterator it(proc / "fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code linkError;
    if (fs::read_symlink(it->path(), linkError) != "anon_inode:inotify") continue;
    const std::string info = readSmallFile(proc / "fdinfo" / it->path().filename()).value_or("");
    for (size_t at = info.find("inotify wd:"); at != std::string::npos;
         at = info.find("inotify wd:", at + 1)) {
      ++watches;
    }
  }
  if (error) {
    throw std::runtime_error("cannot list the companion's descriptors: " + error.message());
  }
  return watches;
}

}  // namespace quillbeam::companion::bench
