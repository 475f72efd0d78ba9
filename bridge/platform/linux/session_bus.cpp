#include "platform/linux/session_bus.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace quillbeam::bridge::platform {

SessionBus::SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log)
    : loop_(loop), log_(std::move(log)) {
  if (!address || address->empty()) {
    turnOff("DBUS_SESSION_BUS_ADDRESS is not set");
    return;
  }
  try {
    connection_ = std::make_unique<dbus::Connection>(
        loop_, *address, [this](std::string_view reason) { turnOff(reason); });
  } catch (const std::runtime_error& e) {
    turnOff(e.what());
  }
}

void SessionBus::turnOff(std::string_view reason) {
  if (off_) return;
  off_ = true;
  std::string line = "notifications are off: ";
  line.append(reason);
  if (log_) log_(line);
  if (!connection_) return;
  // The connection may be in the middle of handling a message when it closes, so it is
  // let go on the loop's next turn rather than here.
  loop_.post([self = std::weak_ptr(self_)] {
    if (const auto bus = self.lock()) (*bus)->connection_.reset();
  });
}

}  // namespace quillbeam::bridge::platform
