#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/event_loop.hpp"

namespace quillbeam::platform {

// The connection to the session bus, shared by notifications and workspace. It takes
// messages at once, but connects only after the loop's first work (answering the
// browser's hello) or kStartDelay, whichever comes first, so that the bus daemon's work
// for a new client never competes with start-up; a synchronous call connects at once.
// Nothing waits for the bus: the handshake is pipelined ahead of the first message.
// When there is no bus, it cannot be reached, or it goes away later, the connection is
// off for good: users see a null connection and skip their work, and `log` hears why,
// once. Main thread only.
class SessionBus {
 public:
  using Log = std::function<void(std::string_view)>;

  // When the connection starts if the loop has had no work by then.
  static constexpr std::chrono::milliseconds kStartDelay{50};

  // `address` is a D-Bus address (see dbus::sessionBusAddress); absent or empty means
  // there is no session bus.
  SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log,
             std::chrono::milliseconds startDelay = kStartDelay);
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
  void start();

  EventLoop& loop_;
  Log log_;
  bool off_ = false;
  std::unique_ptr<dbus::Connection> connection_;
  std::unique_ptr<EventLoop::Hook> firstWork_;
  std::unique_ptr<EventLoop::Timer> delay_;  // fires after the start delay
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<SessionBus*> self_ = std::make_shared<SessionBus*>(this);
};

}  // namespace quillbeam::platform
