#include "platform/linux/session_bus.hpp"

#include <string>
#include <system_error>

namespace quillbeam::bridge::platform {
namespace {

std::string describe(int negativeErrno) {
  return std::generic_category().message(-negativeErrno);
}

}  // namespace

SessionBus::SessionBus(sd_event* event, const std::optional<std::string>& address, Log log)
    : event_(event), log_(std::move(log)) {
  if (!address || address->empty()) {
    turnOff("DBUS_SESSION_BUS_ADDRESS is not set");
    return;
  }
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) {
    turnOff("couldn't create a bus connection: " + describe(r));
    return;
  }
  bus_.reset(bus);
  // sd_bus_start does not wait for the handshake: it connects the socket, queues the
  // authentication and the Hello call, and returns. The event loop completes them.
  if ((r = sd_bus_set_address(bus, address->c_str())) < 0 ||
      (r = sd_bus_set_bus_client(bus, 1)) < 0 || (r = sd_bus_start(bus)) < 0) {
    turnOff("couldn't connect to the session bus: " + describe(r));
    return;
  }
  // A lost connection must never end the loop; it only turns notifications off.
  sd_bus_set_exit_on_disconnect(bus, 0);
  sd_bus_slot* filter = nullptr;
  if ((r = sd_bus_add_filter(bus, &filter, &SessionBus::onFilter, this)) < 0) {
    turnOff("couldn't watch the session bus connection: " + describe(r));
    return;
  }
  filter_.reset(filter);
  if ((r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL)) < 0) {
    turnOff("couldn't attach the session bus to the main loop: " + describe(r));
    return;
  }
}

SessionBus::~SessionBus() {
  if (bus_) sd_bus_detach_event(bus_.get());
}

void SessionBus::turnOff(std::string_view reason) {
  if (off_) return;
  off_ = true;
  std::string line = "notifications are off: ";
  line.append(reason);
  if (log_) log_(line);
  if (!bus_) return;
  // The connection may be in the middle of dispatching this very call, so it is let go
  // on the loop's next turn rather than here.
  sd_event_source* release = nullptr;
  if (sd_event_add_defer(event_, &release, &SessionBus::onRelease, this) >= 0) {
    release_.reset(release);
  } else {
    filter_.reset();
    sd_bus_detach_event(bus_.get());
    bus_.reset();
  }
}

int SessionBus::onFilter(sd_bus_message* message, void* self, sd_bus_error*) noexcept {
  // sd-bus synthesises this local signal when the connection ends for any reason: the
  // daemon went away, the handshake failed or timed out.
  if (sd_bus_message_is_signal(message, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
    static_cast<SessionBus*>(self)->turnOff("the session bus connection closed");
  }
  return 0;
}

int SessionBus::onRelease(sd_event_source*, void* self) noexcept {
  auto* bus = static_cast<SessionBus*>(self);
  bus->filter_.reset();
  if (bus->bus_) {
    sd_bus_detach_event(bus->bus_.get());
    bus->bus_.reset();
  }
  return 0;
}

}  // namespace quillbeam::bridge::platform
