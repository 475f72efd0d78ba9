#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "support/scratch_dir.hpp"

struct sd_bus;

namespace quillbeam::testing {

// The two bus daemons of Linux desktops.
enum class BusDaemon { DbusDaemon, DbusBroker };

// Where the test-only bus program `name` (dbus-broker, xdg-dbus-proxy) is: the copy that
// scripts/fetch-bus-tools.sh put in QUILLBEAM_BUS_TOOLS_DIR, else one on PATH. Their
// packages are never installed for the tests: Debian's dbus-broker would become the
// machine's bus. Absent when neither exists; with QUILLBEAM_REQUIRE_BUS_TOOLS=1 in the
// environment (CI) it throws instead, so a missing program fails the run, never skips it.
std::optional<std::filesystem::path> busTool(std::string_view name);

// Why a test that needs `name` was skipped.
std::string busToolMissing(std::string_view name);

// A throwaway session bus: a real daemon with its own configuration, socket and service
// directory in a fresh temporary directory. It never touches the user's own bus. Either
// way it listens on scratchDir()/bus. The daemon is stopped and the directory removed on
// destruction.
class PrivateBus {
 public:
  // Starts the daemon and waits (up to 10 s) for it to listen; throws std::runtime_error
  // when it cannot be started. dbus-broker runs without its launcher: we hand it the
  // listening socket and an allow-all policy over its controller socket, so it offers no
  // activation (writeService and reload need dbus-daemon). Where busTool finds no
  // dbus-broker, the current test is skipped (from a fixture's constructor gtest then runs
  // none of it) and a dbus-daemon stands in, so that the rest of the fixture can be built.
  explicit PrivateBus(BusDaemon daemon = BusDaemon::DbusDaemon);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The address to put in DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

  // The directory the daemon reads activatable services from.
  const std::filesystem::path& servicesDir() const { return servicesDir_; }

  // A scratch directory removed with the bus (for marker files and the like).
  const std::filesystem::path& scratchDir() const { return root_.path(); }

  // Writes `<name>.service` (Name=<name>, Exec=<exec>) and makes the daemon reload its
  // service directory before returning, so the name is activatable at once.
  void writeService(std::string_view name, std::string_view exec) const;

  // Makes the daemon re-read its configuration and service files, waiting for it.
  void reload() const;

  // Kills the daemon now (SIGKILL) and reaps it; for tests of a bus that goes away.
  void kill();

  pid_t daemonPid() const { return pid_; }

 private:
  void stop(int signal);

  ScratchDir root_{"quillbeam-bus"};
  std::filesystem::path servicesDir_;
  std::string address_;
  pid_t pid_ = -1;
  sd_bus* controller_ = nullptr;  // dbus-broker's, kept open while it runs
};

}  // namespace quillbeam::testing
