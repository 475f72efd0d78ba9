#pragma once

#include <chrono>
#include <filesystem>

#include "platform/linux/session_bus.hpp"
#include "platform/main_loop.hpp"
#include "platform/workspace.hpp"

namespace quillbeam::platform {

// The workspace on the session bus: an app runs while it owns the bus name equal to its
// bundle identifier; an installed app is an activatable name, started by D-Bus
// activation (which never raises a window). A bundle directory is started by running
// its executable as a detached process, which needs no bus.
class BusWorkspace final : public Workspace {
 public:
  // Replies from the local daemon take microseconds; this only bounds a hung daemon, and
  // as nobody waits for the answer it can be the bus libraries' usual 25 s.
  static constexpr std::chrono::milliseconds kQueryTimeout{25000};

  BusWorkspace(SessionBus& bus, MainLoop& loop, std::chrono::milliseconds queryTimeout);

  // Ask the bus daemon without waiting; the answer comes when the daemon's does, or as
  // "cannot tell" after the query timeout, which is logged.
  void isRunning(std::string_view bundleID, std::function<void(bool)> answer) override;
  void locate(std::string_view bundleID,
              std::function<void(std::optional<AppLocation>)> answer) override;
  // A registered app completes on the main loop with the bus's error text; a bundle
  // completes on a helper thread with the spawn error text.
  void openInBackground(const AppLocation& app,
                        std::function<void(std::optional<std::string> error)> completion) override;

  // X.app -> X.app/Contents/MacOS/X
  static std::filesystem::path bundleExecutable(const std::filesystem::path& bundle);

 private:
  void startService(const std::string& name,
                    std::function<void(std::optional<std::string>)> completion);
  // Calls the daemon's `member` with one string argument, or none; `answer` gets the
  // method return, or null when the call failed.
  void askDaemon(dbus::Connection& connection, std::string member,
                 std::optional<std::string_view> argument,
                 std::function<void(const dbus::Message*)> answer);

  SessionBus& bus_;
  MainLoop& loop_;
  std::chrono::milliseconds queryTimeout_;
};

}  // namespace quillbeam::platform
