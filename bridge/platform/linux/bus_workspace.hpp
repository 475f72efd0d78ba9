#pragma once

#include <chrono>
#include <filesystem>

#include "platform/linux/session_bus.hpp"
#include "platform/main_loop.hpp"
#include "platform/workspace.hpp"

namespace quillbeam::bridge::platform {

// The workspace on the session bus: an app runs while it owns the bus name equal to its
// bundle identifier; an installed app is an activatable name, started by D-Bus
// activation (which never raises a window). A bundle directory is started by running
// its executable as a detached process, which needs no bus.
class BusWorkspace final : public Workspace {
 public:
  BusWorkspace(SessionBus& bus, MainLoop& loop);

  // Replies from the local daemon take microseconds; this only bounds a hung daemon.
  static constexpr std::chrono::milliseconds kQueryTimeout{2000};

  // Asks the bus synchronously, waiting at most kQueryTimeout; false when it cannot tell.
  bool isRunning(std::string_view bundleID) override;
  std::optional<AppLocation> locate(std::string_view bundleID) override;
  // A registered app completes on the main loop with the bus's error text; a bundle
  // completes on a helper thread with the spawn error text.
  void openInBackground(const AppLocation& app,
                        std::function<void(std::optional<std::string> error)> completion) override;

  // X.app -> X.app/Contents/MacOS/X
  static std::filesystem::path bundleExecutable(const std::filesystem::path& bundle);

 private:
  void startService(const std::string& name,
                    std::function<void(std::optional<std::string>)> completion);

  SessionBus& bus_;
  MainLoop& loop_;
};

}  // namespace quillbeam::bridge::platform
