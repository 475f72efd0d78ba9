#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/bus_notification_center.hpp"
#include "platform/linux/bus_workspace.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/session_bus.hpp"

namespace quillbeam::platform {

// The desktop services on Linux: one epoll main loop with the session bus attached.
// Lives as long as the process uses the services; the bus outlives its users, and the
// loop outlives the bus.
class LinuxPlatform {
 public:
  // `busAddress` absent or empty: no session bus. `log` hears, once, why notifications
  // are off, and each workspace query the bus leaves unanswered for `queryTimeout`.
  LinuxPlatform(std::function<void(std::string_view)> log,
                const std::optional<std::string>& busAddress,
                std::chrono::milliseconds queryTimeout = BusWorkspace::kQueryTimeout);
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  EventLoop& loop() { return loop_; }
  NotificationCenter& notifications() { return notifications_; }
  Workspace& workspace() { return workspace_; }
  SessionBus& sessionBus() { return bus_; }

 private:
  EventLoop loop_;
  SessionBus bus_;
  BusNotificationCenter notifications_;
  BusWorkspace workspace_;
};

// The platform on the session bus, found as the bus libraries find it
// (dbus::sessionBusAddress). Returns at once: the bus handshake completes on the loop.
std::unique_ptr<LinuxPlatform> makeLinuxPlatform(std::function<void(std::string_view)> log);

}  // namespace quillbeam::platform
