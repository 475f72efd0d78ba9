#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/bus_library.hpp"
#include "platform/linux/bus_loop_binding.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/handles.hpp"
#include "platform/linux/library_loader.hpp"

namespace quillbeam::bridge::platform {

// The connection to the session bus, shared by notifications and workspace. Nothing of
// it is on the start-up path: the library loads on a thread of its own once the loop has
// done its first work (answered the browser's hello) or kLoadDelay passed, and once it
// is there the loop connects without waiting for the handshake (messages sent before it
// completes are queued by sd-bus and leave after it). A caller that needs the bus before
// then asks connect(). When there is no bus, the library cannot be loaded, the bus cannot
// be reached, or it goes away later, the connection is off for good: users see a null bus
// and skip their work, and `log` hears why, once. Main thread only.
class SessionBus {
 public:
  using Log = std::function<void(std::string_view)>;
  enum class State { Loading, Up, Off };

  // When the library loads if the loop has had no work by then.
  static constexpr std::chrono::milliseconds kLoadDelay{50};
  // How long connect() waits for the library: it loads in milliseconds, so this only
  // keeps a stuck loader from hanging the bridge.
  static constexpr std::chrono::milliseconds kLoadWait{5000};

  // `address` is a D-Bus address (what DBUS_SESSION_BUS_ADDRESS holds); absent or empty
  // means there is no session bus, and nothing is loaded.
  SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log,
             BusLibraryLoader load, std::chrono::milliseconds loadDelay = kLoadDelay);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();

  State state() const { return state_; }

  // The live connection, or null while the library loads or when the bus is off.
  sd_bus* get() const { return state_ == State::Up ? bus_.get() : nullptr; }

  // The live connection, brought up first if the library is still loading (waiting for
  // it at most kLoadWait); null when the bus is off.
  sd_bus* connect();

  // The functions to use the connection with; only while get() gives one.
  const BusLibrary& library() const { return *library_; }

  // Runs `settled` once, on the main thread, when the connection comes up (with it,
  // before anything else is sent on it) or turns out to be off (with null); at once when
  // that is known already. It must not outlive whoever gave it.
  void whenSettled(std::function<void(sd_bus*)> settled);

  // Reports a problem that leaves the bus in use.
  void log(std::string_view line) const {
    if (log_) log_(line);
  }

  // Takes the bus out of use (if it still is) and reports `reason` once.
  void turnOff(std::string_view reason);

 private:
  void finishLoading(std::chrono::milliseconds wait);
  void start();
  void settle();
  void release();
  static int onFilter(sd_bus_message* message, void* self, sd_bus_error* error) noexcept;

  EventLoop& loop_;
  Log log_;
  std::string address_;
  State state_ = State::Loading;
  std::unique_ptr<const BusLibrary> library_;
  BusPtr bus_;
  BusSlotPtr filter_;
  std::unique_ptr<BusLoopBinding> binding_;
  std::vector<std::function<void(sd_bus*)>> settled_;
  std::unique_ptr<EventLoop::Hook> firstWork_;  // lets the loader begin after the first work
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<SessionBus*> self_ = std::make_shared<SessionBus*>(this);
  // Last, so that its thread is joined before anything it hands over to goes away.
  std::unique_ptr<LibraryLoader> loader_;
};

}  // namespace quillbeam::bridge::platform
