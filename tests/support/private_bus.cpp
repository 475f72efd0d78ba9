#include "support/private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char** environ;

namespace quillbeam::testing {
namespace {

std::runtime_error failure(const std::string& what, int error = errno) {
  return std::runtime_error("private bus: " + what + ": " + std::generic_category().message(error));
}

// A socket path must fit in sockaddr_un (108 bytes), so a long TMPDIR falls back to /tmp.
std::filesystem::path makeRoot() {
  std::filesystem::path base = "/tmp";
  std::error_code ec;
  if (auto tmp = std::filesystem::temp_directory_path(ec); !ec && tmp.native().size() < 60) {
    base = tmp;
  }
  std::string pattern = (base / "quillbeam-bus-XXXXXX").native();
  if (!mkdtemp(pattern.data())) throw failure("mkdtemp");
  return pattern;
}

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("private bus: cannot write " + path.native());
}

std::string config(const std::filesystem::path& socket, const std::filesystem::path& services) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=)" +
         socket.native() + R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" +
         services.native() + R"(</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// Reads the daemon's one line of address from `fd`, giving up after 10 s.
std::string readAddress(int fd) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("private bus: no address within 10 s");
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw failure("poll");
    if (ready == 0) continue;
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw failure("read");
    if (n == 0) throw std::runtime_error("private bus: dbus-daemon exited without an address");
    text.append(buffer, static_cast<size_t>(n));
  }
  return text.substr(0, text.find('\n'));
}

// Starts dbus-broker on a listening socket at `socket`, allowing everything: the broker
// takes its sockets and policy from a controller, a peer connection on its fd 3.
pid_t startBroker(const std::filesystem::path& socket, sd_bus*& controller) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw failure("socketpair");
  // The broker accepts until the socket would block.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket.native().copy(address.sun_path, sizeof address.sun_path - 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    const auto problem = failure("listen");
    close(listener);
    close(pair[0]);
    close(pair[1]);
    throw problem;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
  std::vector<const char*> argv{
      "dbus-broker", "--controller", "3", "--machine-id", "0123456789abcdef0123456789abcdef",
      nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "dbus-broker", &actions, nullptr,
                                   const_cast<char**>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  if (spawned != 0) {
    close(pair[0]);
    close(listener);
    throw failure("cannot start dbus-broker", spawned);
  }
  // Listener 0 admits everyone (uid -1 is the fallback batch) to connect, own any name,
  // and send and receive anything, at priority 1.
  sd_bus_message* call = nullptr;
  sd_bus_error error{nullptr, nullptr, 0};
  int r = sd_bus_new(&controller);
  if (r >= 0) r = sd_bus_set_fd(controller, pair[0], pair[0]);
  if (r >= 0) r = sd_bus_start(controller);
  if (r >= 0) {
    r = sd_bus_message_new_method_call(controller, &call, nullptr, "/org/bus1/DBus/Broker",
                                       "org.bus1.DBus.Broker", "AddListener");
  }
  if (r >= 0) {
    r = sd_bus_message_append(
        call, "ohv", "/org/bus1/DBus/Listener/0", listener,
        "(a(u(bta(btbs)a(btssssuutt)a(btssssuutt)))a(buu(bta(btbs)a(btssssuutt)a(btssssuutt)))"
        "a(ss)bs)",
        1, UINT32_MAX, true, UINT64_C(1), 1, true, UINT64_C(1), true, "", 1, true, UINT64_C(1), "",
        "", "", "", 0, 0, UINT64_C(0), UINT64_MAX, 1, true, UINT64_C(1), "", "", "", "", 0, 0,
        UINT64_C(0), UINT64_MAX, 0, 0, false, "session");
  }
  if (r >= 0) r = sd_bus_call(controller, call, 10'000'000, &error, nullptr);
  const std::string message = error.message ? error.message : "";
  sd_bus_error_free(&error);
  sd_bus_message_unref(call);
  close(listener);
  if (r < 0) {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("private bus: dbus-broker refused its listener: " + message);
  }
  return pid;
}

}  // namespace

PrivateBus::PrivateBus(BusDaemon daemon) : root_(makeRoot()), servicesDir_(root_ / "services") {
  if (daemon == BusDaemon::DbusBroker) {
    try {
      pid_ = startBroker(root_ / "bus", controller_);
      address_ = "unix:path=" + (root_ / "bus").native();
      return;
    } catch (...) {
      sd_bus_flush_close_unref(controller_);
      std::error_code ec;
      std::filesystem::remove_all(root_, ec);
      throw;
    }
  }
  try {
    std::filesystem::create_directory(servicesDir_);
    const auto configPath = root_ / "bus.conf";
    writeFile(configPath, config(root_ / "bus", servicesDir_));

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw failure("pipe2");
    // The daemon prints its address on fd 3; dup2 onto 3 must not be a no-op that keeps
    // close-on-exec, so the write end is moved above 3 first.
    int writeEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    close(fds[1]);
    if (writeEnd < 0) {
      close(fds[0]);
      throw failure("fcntl");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
    const std::string configArg = "--config-file=" + configPath.native();
    std::vector<char*> argv{const_cast<char*>("dbus-daemon"), const_cast<char*>(configArg.c_str()),
                            const_cast<char*>("--nofork"), const_cast<char*>("--print-address=3"),
                            nullptr};
    const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(writeEnd);
    if (spawned != 0) {
      close(fds[0]);
      pid_ = -1;
      throw failure("cannot start dbus-daemon", spawned);
    }
    try {
      address_ = readAddress(fds[0]);
    } catch (...) {
      close(fds[0]);
      throw;
    }
    close(fds[0]);
  } catch (...) {
    kill();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    throw;
  }
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  sd_bus_flush_close_unref(controller_);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void PrivateBus::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void PrivateBus::writeService(std::string_view name, std::string_view exec) const {
  std::string text = "[D-BUS Service]\nName=";
  text.append(name).append("\nExec=").append(exec).append("\n");
  writeFile(servicesDir_ / (std::string(name) + ".service"), text);
  reload();
}

void PrivateBus::reload() const {
  if (controller_) throw std::logic_error("private bus: dbus-broker here cannot reload");
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) throw failure("sd_bus_new", -r);
  sd_bus_set_address(bus, address_.c_str());
  sd_bus_set_bus_client(bus, 1);
  r = sd_bus_start(bus);
  sd_bus_error error{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL is a C compound literal
  if (r >= 0) {
    // The daemon answers ReloadConfig only after it has re-read the service directories.
    r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ReloadConfig", &error, nullptr, "");
  }
  const std::string message = error.message ? error.message : "";
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  if (r < 0) throw std::runtime_error("private bus: reload failed: " + message);
}

}  // namespace quillbeam::testing
