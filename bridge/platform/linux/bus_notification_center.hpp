#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/handles.hpp"
#include "platform/linux/session_bus.hpp"
#include "platform/main_loop.hpp"
#include "platform/notification_center.hpp"

namespace quillbeam::bridge::platform {

// Notifications as broadcast signals on the session bus. While the bus is off, posts
// and registrations do nothing.
class BusNotificationCenter final : public NotificationCenter {
 public:
  BusNotificationCenter(SessionBus& bus, MainLoop& loop);

  void addObserver(std::string name, std::function<void(const Notification&)> block) override;
  void post(std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo) override;
  void flush() override;

 private:
  struct Observer {
    BusNotificationCenter* center;
    std::string name;
    std::shared_ptr<const std::function<void(const Notification&)>> block;
    BusSlotPtr slot;
  };
  static int onSignal(sd_bus_message* message, void* observer, sd_bus_error* error) noexcept;
  static int onMatchInstalled(sd_bus_message* reply, void* observer, sd_bus_error* error) noexcept;

  SessionBus& bus_;
  MainLoop& loop_;
  std::vector<std::unique_ptr<Observer>> observers_;
};

}  // namespace quillbeam::bridge::platform
