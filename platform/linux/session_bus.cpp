#include "platform/linux/session_bus.hpp"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <stdexcept>
#include <string>
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
  delay_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  const auto nanoseconds = std::chrono::nanoseconds(startDelay).count();
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
  when.it_value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
  if (!delay_ || timerfd_settime(delay_.get(), 0, &when, nullptr) < 0) {
    start();
    return;
  }
  delayWatch_ = loop_.watch(delay_.get(), EPOLLIN, [this](uint32_t) { start(); });
}

void SessionBus::start() {
  // Each way in goes away here, its own included, which the loop allows.
  firstWork_.reset();
  delayWatch_.reset();
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
