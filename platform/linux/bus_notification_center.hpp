#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/notification_signal.hpp"
#include "platform/linux/session_bus.hpp"
#include "platform/main_loop.hpp"
#include "platform/notification_center.hpp"

namespace quillbeam::platform {

// Notifications as broadcast signals on the session bus. An observer's match is asked
// for when it registers, so the bus routes commands to us before any signal we post
// after that leaves: a peer that sees our signal knows we already listen. While the bus
// is off, posts and registrations do nothing.
class BusNotificationCenter final : public NotificationCenter {
 public:
  // How long flush() waits for a bus that does not read; the bridge exits after it.
  static constexpr std::chrono::milliseconds kFlushTimeout{2000};

  // `bus` must outlive the center.
  BusNotificationCenter(SessionBus& bus, MainLoop& loop);

  void addObserver(std::string name, std::function<void(const Notification&)> block) override;
  void post(std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo) override;
  void flush() override;

 private:
  struct Observer {
    std::string name;
    SignalRoute route;
    std::function<void(const Notification&)> block;
  };
  void onSignal(const dbus::Message& signal);

  SessionBus& bus_;
  MainLoop& loop_;
  std::vector<std::shared_ptr<const Observer>> observers_;
};

}  // namespace quillbeam::platform
