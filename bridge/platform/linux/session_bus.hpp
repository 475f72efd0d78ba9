#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/handles.hpp"

namespace quillbeam::bridge::platform {

// The connection to the session bus, shared by notifications and workspace. It connects
// without waiting: messages sent before the handshake completes are queued and leave
// after it. When there is no bus, or it cannot be reached, or it goes away later, the
// connection is off for good: users see a null bus and skip their work, and `log` hears
// why, once. Main thread only.
class SessionBus {
 public:
  using Log = std::function<void(std::string_view)>;

  // `address` is a D-Bus address (what DBUS_SESSION_BUS_ADDRESS holds); absent or empty
  // means there is no session bus.
  SessionBus(sd_event* event, const std::optional<std::string>& address, Log log);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();

  // The live connection, or null when the bus is off.
  sd_bus* get() const { return off_ ? nullptr : bus_.get(); }

  // Reports a problem that leaves the bus in use.
  void log(std::string_view line) const {
    if (log_) log_(line);
  }

  // Takes the bus out of use (if it still is) and reports `reason` once.
  void turnOff(std::string_view reason);

 private:
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error) noexcept;
  static int onRelease(sd_event_source* source, void* self) noexcept;

  sd_event* event_;
  Log log_;
  bool off_ = false;
  BusPtr bus_;
  BusSlotPtr filter_;
  EventSourcePtr release_;
};

}  // namespace quillbeam::bridge::platform
