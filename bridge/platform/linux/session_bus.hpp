#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/bus_library.hpp"
#include "platform/linux/bus_loop_binding.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/handles.hpp"

namespace quillbeam::bridge::platform {

// Loads the bus library, or throws std::runtime_error with the reason.
using BusLibraryLoader = std::function<std::unique_ptr<const BusLibrary>()>;

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
  SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log,
             const BusLibraryLoader& load);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // The live connection, or null when the bus is off.
  sd_bus* get() const { return off_ ? nullptr : bus_.get(); }

  // The functions to use the connection with; only while get() gives one.
  const BusLibrary& library() const { return *library_; }

  // Reports a problem that leaves the bus in use.
  void log(std::string_view line) const {
    if (log_) log_(line);
  }

  // Takes the bus out of use (if it still is) and reports `reason` once.
  void turnOff(std::string_view reason);

 private:
  void connect(const std::string& address);
  void release();
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error) noexcept;

  EventLoop& loop_;
  Log log_;
  bool off_ = false;
  std::unique_ptr<const BusLibrary> library_;
  BusPtr bus_;
  BusSlotPtr filter_;
  std::unique_ptr<BusLoopBinding> binding_;
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<SessionBus*> self_ = std::make_shared<SessionBus*>(this);
};

}  // namespace quillbeam::bridge::platform
