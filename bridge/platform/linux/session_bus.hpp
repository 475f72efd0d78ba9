#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/event_loop.hpp"

namespace quillbeam::bridge::platform {

// The connection to the session bus, shared by notifications and workspace. It opens at
// once and never waits for the bus: the handshake is pipelined ahead of the first
// message. When there is no bus, it cannot be reached, or it goes away later, the
// connection is off for good: users see a null connection and skip their work, and
// `log` hears why, once. Main thread only.
class SessionBus {
 public:
  using Log = std::function<void(std::string_view)>;

  // `address` is a D-Bus address (what DBUS_SESSION_BUS_ADDRESS holds); absent or empty
  // means there is no session bus.
  SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // The live connection, or null when the bus is off.
  dbus::Connection* get() const {
    return connection_ && connection_->isOpen() ? connection_.get() : nullptr;
  }

  // Reports a problem that leaves the bus in use.
  void log(std::string_view line) const {
    if (log_) log_(line);
  }

 private:
  void turnOff(std::string_view reason);

  EventLoop& loop_;
  Log log_;
  bool off_ = false;
  std::unique_ptr<dbus::Connection> connection_;
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<SessionBus*> self_ = std::make_shared<SessionBus*>(this);
};

}  // namespace quillbeam::bridge::platform
