#include "platform/linux/bus_notification_center.hpp"

#include <utility>

#include "platform/linux/dbus/marshal.hpp"

namespace quillbeam::platform {

BusNotificationCenter::BusNotificationCenter(SessionBus& bus, MainLoop& loop)
    : bus_(bus), loop_(loop) {
  if (dbus::Connection* connection = bus_.get()) {
    connection->onSignal([this](const dbus::Message& signal) { onSignal(signal); });
  }
}

void BusNotificationCenter::addObserver(std::string name,
                                        std::function<void(const Notification&)> block) {
  dbus::Connection* connection = bus_.get();
  if (!connection) return;
  auto route = SignalRoute::of(name);
  if (!route) return;
  dbus::Message addMatch = dbus::Message::busCall("AddMatch");
  addMatch.signature = "s";
  dbus::Writer(addMatch.body).string(route->matchRule());
  // The reply only matters when the daemon refuses; signals match here as soon as it
  // routes them to us.
  connection->call(std::move(addMatch), [this, name](const dbus::Message& reply) {
    if (reply.type == dbus::MessageType::Error &&
        reply.errorName != dbus::Connection::kDisconnectedError) {
      bus_.log("couldn't observe " + name + ": " + dbus::errorText(reply));
    }
  });
  observers_.push_back(std::make_shared<const Observer>(
      Observer{std::move(name), std::move(*route), std::move(block)}));
}

void BusNotificationCenter::post(
    std::string_view name, const std::optional<std::map<std::string, std::string>>& userInfo) {
  dbus::Connection* connection = bus_.get();
  if (!connection) return;
  const auto route = SignalRoute::of(name);
  if (!route) return;
  if (auto signal = notificationSignal(*route, userInfo)) connection->send(std::move(*signal));
}

void BusNotificationCenter::flush() {
  if (dbus::Connection* connection = bus_.get()) connection->flush(kFlushTimeout);
}

void BusNotificationCenter::onSignal(const dbus::Message& signal) {
  for (const auto& observer : observers_) {
    if (observer->route.interface != signal.interface || observer->route.member != signal.member) {
      continue;
    }
    // Delivered through the main queue, after the blocks already waiting there, and never
    // from inside a bus call such as flush().
    loop_.post([observer, notification = Notification{observer->name, readUserInfo(signal)}] {
      observer->block(notification);
    });
  }
}

}  // namespace quillbeam::platform
