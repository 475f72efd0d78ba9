#include "support/private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

}  // namespace

PrivateBus::PrivateBus() : root_(makeRoot()), servicesDir_(root_ / "services") {
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
