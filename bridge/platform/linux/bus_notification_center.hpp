#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/handles.hpp"
#include "platform/linux/session_bus.hpp"
#include "platform/main_loop.hpp"
#include "platform/notification_center.hpp"

namespace quillbeam::bridge::platform {

// Notifications as broadcast signals on the session bus. Until the bus is up, posts wait
// here and observers are remembered; when it comes up, the observers' matches are asked
// for first and the waiting posts then leave in order, so a peer that sees our first
// signal knows we already listen. While the bus is off, posts and registrations do
// nothing.
class BusNotificationCenter final : public NotificationCenter {
 public:
  // Posts waiting for the bus, at most; the oldest give way (the newest state counts).
  static constexpr size_t kMaxWaitingPosts = 1024;

  // `bus` must outlive the center.
  BusNotificationCenter(SessionBus& bus, MainLoop& loop);

  void addObserver(std::string name, std::function<void(const Notification&)> block) override;
  void post(std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo) override;
  // Brings the bus up first if it is still loading.
  void flush() override;

 private:
  struct Observer {
    BusNotificationCenter* center;
    std::string name;
    std::shared_ptr<const std::function<void(const Notification&)>> block;
    BusSlotPtr slot;
  };
  struct WaitingPost {
    std::string name;
    std::optional<std::map<std::string, std::string>> userInfo;
  };
  void onBusSettled(sd_bus* bus);
  void install(sd_bus* bus, Observer& observer);
  void send(sd_bus* bus, std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo);
  static int onSignal(sd_bus_message* message, void* observer, sd_bus_error* error) noexcept;
  static int onMatchInstalled(sd_bus_message* reply, void* observer, sd_bus_error* error) noexcept;

  SessionBus& bus_;
  MainLoop& loop_;
  std::vector<std::unique_ptr<Observer>> observers_;
  std::deque<WaitingPost> waiting_;
};

}  // namespace quillbeam::bridge::platform
