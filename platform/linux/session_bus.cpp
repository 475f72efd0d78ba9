#include "platform/linux/session_bus.hpp"

#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace quillbeam::platform {

SessionBus::SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log,
                       std::chrono::milliseconds startDelay)
    : loop_(loop), log_(std::move(log)) {
  if (!address || address->empty()) {
    turnOff("DBUS_SESSION_BUS_ADDRESS is not set and there is no $XDG_RUNTIME_DIR/bus");
    return;
  }
  try {
    connection_ = std::make_unique<dbus::Connection>(
        loop_, *address, [this](std::string_view reason) { turnOff(reason); });
  } catch (const std::runtime_error& e) {
    turnOff(e.what());
    return;
  }
  // The first posted work of the bridge is the browser's first message: once it has
  // been handled, the loop is about to wait again and connecting costs nobody.
  firstWork_ = loop_.beforeWait([this] {
    if (loop_.blocksRun() > 0) start();
  });
  // Without a timer nothing would ever start the connection on an idle loop.
  try {
    delay_ = loop_.timer(EventLoop::Clock::monotonic, [this] { start(); });
    delay_->once(startDelay);
  } catch (const std::system_error&) {
    start();
  }
}

void SessionBus::start() {
  // Each way in goes away here, its own included, which the loop allows.
  firstWork_.reset();
  delay_.reset();
  if (connection_) connection_->start();
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

}  // namespace quillbeam::platform
