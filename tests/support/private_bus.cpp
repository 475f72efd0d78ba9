#include "support/private_bus.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "support/eventually.hpp"

extern char** environ;

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;

std::runtime_error failure(const std::string& what) {
  return std::runtime_error("private bus: " + what);
}

sockaddr_un socketAddress(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.native().copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// Starts `argv` on /dev/null and, when given, with `controller` as its fd 3.
pid_t spawn(std::vector<const char*> argv, int controller = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Never the test's own output: a daemon left behind by a killed test would hold the
  // test runner's pipe open.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (controller >= 0) posix_spawn_file_actions_adddup2(&actions, controller, 3);
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int r =
      posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) throw failure(std::string("cannot start ") + argv[0]);
  return pid;
}

// Waits (up to 10 s) until the daemon accepts on `path`.
void awaitListening(const fs::path& path) {
  const auto address = socketAddress(path);
  const auto accepts = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return up;
  };
  if (!eventually(accepts, {}, std::chrono::seconds(10))) {
    throw failure("the daemon did not listen within 10 s");
  }
}

// dbus-broker takes its sockets and policy from a controller, a peer connection on its fd
// 3. Listener 0 admits everyone (uid -1 is the fallback batch) to connect, own any name,
// and send and receive anything, at priority 1. The listening socket is non-blocking: the
// broker accepts until it would block.
void addBrokerListener(sd_bus* controller, const fs::path& path) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const auto address = socketAddress(path);
  sd_bus_error error{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL is a C compound literal
  int r = ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                  ::listen(listener, 64) == 0
              ? 0
              : -errno;
  if (r >= 0) {
    r = sd_bus_call_method(
        controller, nullptr, "/org/bus1/DBus/Broker", "org.bus1.DBus.Broker", "AddListener", &error,
        nullptr, "ohv", "/org/bus1/DBus/Listener/0", listener,
        "(a(u(bta(btbs)a(btssssuutt)a(btssssuutt)))a(buu(bta(btbs)a(btssssuutt)a(btssssuutt)))"
        "a(ss)bs)",
        1, UINT32_MAX, true, UINT64_C(1), 1, true, UINT64_C(1), true, "", 1, true, UINT64_C(1), "",
        "", "", "", 0, 0, UINT64_C(0), UINT64_MAX, 1, true, UINT64_C(1), "", "", "", "", 0, 0,
        UINT64_C(0), UINT64_MAX, 0, 0, false, "session");
  }
  const std::string message = error.message ? error.message : std::to_string(r);
  sd_bus_error_free(&error);
  ::close(listener);
  if (r < 0) throw failure("dbus-broker refused its listener: " + message);
}

bool executable(const fs::path& path) {
  return ::access(path.c_str(), X_OK) == 0 && fs::is_regular_file(path);
}

void skipCurrentTest(const std::string& why) {
  GTEST_SKIP() << why;
}

}  // namespace

std::string busToolMissing(std::string_view name) {
  return std::string("no ") + std::string(name) + " in " + QUILLBEAM_BUS_TOOLS_DIR +
         " nor on PATH: scripts/fetch-bus-tools.sh puts it there";
}

std::optional<fs::path> busTool(std::string_view name) {
  if (const fs::path ours = fs::path(QUILLBEAM_BUS_TOOLS_DIR) / name; executable(ours)) return ours;
  const char* path = std::getenv("PATH");
  for (std::string_view rest = path ? path : ""; !rest.empty();) {
    const auto colon = std::min(rest.find(':'), rest.size());
    // An empty entry is the working directory, which a test never means.
    if (colon > 0) {
      if (const fs::path found = fs::path(rest.substr(0, colon)) / name; executable(found))
        return found;
    }
    rest.remove_prefix(std::min(colon + 1, rest.size()));
  }
  const char* required = std::getenv("QUILLBEAM_REQUIRE_BUS_TOOLS");
  if (required && std::string_view(required) == "1") throw failure(busToolMissing(name));
  return std::nullopt;
}

PrivateBus::PrivateBus(BusDaemon daemon) : servicesDir_(root_ / "services") {
  const fs::path socket = root_ / "bus";
  address_ = "unix:path=" + socket.native();
  try {
    const auto broker = daemon == BusDaemon::DbusBroker ? busTool("dbus-broker") : std::nullopt;
    if (daemon == BusDaemon::DbusBroker && !broker) skipCurrentTest(busToolMissing("dbus-broker"));
    if (broker) {
      int pair[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw failure("socketpair");
      pid_ = spawn({broker->c_str(), "--controller", "3", "--machine-id",
                    "0123456789abcdef0123456789abcdef"},
                   pair[1]);
      ::close(pair[1]);
      int r = sd_bus_new(&controller_);
      if (r >= 0) r = sd_bus_set_fd(controller_, pair[0], pair[0]);
      if (r >= 0) r = sd_bus_start(controller_);
      if (r < 0) throw failure("no controller connection to dbus-broker");
      addBrokerListener(controller_, socket);
      return;
    }
    fs::create_directory(servicesDir_);
    std::ofstream(root_ / "bus.conf") << R"(<busconfig><type>session</type><keep_umask/>
  <listen>unix:path=)" << socket.native()
                                      << "</listen><auth>EXTERNAL</auth><servicedir>"
                                      << servicesDir_.native() << R"(</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/><allow own="*"/></policy></busconfig>)";
    const std::string config = "--config-file=" + (root_ / "bus.conf").native();
    pid_ = spawn({"dbus-daemon", config.c_str(), "--nofork"});
    awaitListening(socket);
  } catch (...) {
    stop(SIGKILL);
    throw;
  }
}

PrivateBus::~PrivateBus() {
  stop(SIGTERM);
}

void PrivateBus::stop(int signal) {
  if (pid_ > 0) {
    ::kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  controller_ = sd_bus_flush_close_unref(controller_);
}

void PrivateBus::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void PrivateBus::writeService(std::string_view name, std::string_view exec) const {
  std::ofstream(servicesDir_ / (std::string(name) + ".service"))
      << "[D-BUS Service]\nName=" << name << "\nExec=" << exec << "\n";
  reload();
}

void PrivateBus::reload() const {
  if (controller_) throw std::logic_error("private bus: dbus-broker here cannot reload");
  sd_bus* bus = nullptr;
  sd_bus_error error{nullptr, nullptr, 0};
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  // The daemon answers ReloadConfig only after it has re-read the service directories.
  if (r >= 0) {
    r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ReloadConfig", &error, nullptr, "");
  }
  const std::string message = error.message ? error.message : std::to_string(r);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  if (r < 0) throw failure("reload failed: " + message);
}

}  // namespace quillbeam::testing
