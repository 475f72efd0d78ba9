#include "platform/linux/bus_notification_center.hpp"

#include <system_error>
#include <utility>

#include "platform/linux/notification_signal.hpp"

namespace quillbeam::bridge::platform {

BusNotificationCenter::BusNotificationCenter(SessionBus& bus, MainLoop& loop)
    : bus_(bus), loop_(loop) {
  bus_.whenSettled([this](sd_bus* connection) { onBusSettled(connection); });
}

void BusNotificationCenter::addObserver(std::string name,
                                        std::function<void(const Notification&)> block) {
  sd_bus* bus = bus_.get();
  if (!bus && bus_.state() == SessionBus::State::Off) return;
  auto observer = std::make_unique<Observer>(
      Observer{this, std::move(name),
               std::make_shared<const std::function<void(const Notification&)>>(std::move(block)),
               BusSlotPtr()});
  if (bus) install(bus, *observer);
  observers_.push_back(std::move(observer));
}

void BusNotificationCenter::post(
    std::string_view name, const std::optional<std::map<std::string, std::string>>& userInfo) {
  if (sd_bus* bus = bus_.get()) {
    send(bus, name, userInfo);
    return;
  }
  if (bus_.state() != SessionBus::State::Loading) return;
  if (waiting_.size() == kMaxWaitingPosts) waiting_.pop_front();
  waiting_.push_back(WaitingPost{std::string(name), userInfo});
}

void BusNotificationCenter::flush() {
  if (sd_bus* bus = bus_.connect()) bus_.library().sd_bus_flush(bus);
}

void BusNotificationCenter::onBusSettled(sd_bus* bus) {
  if (bus) {
    // Matches first: the daemon handles one connection's messages in order.
    for (auto& observer : observers_) install(bus, *observer);
    for (const auto& waiting : waiting_) send(bus, waiting.name, waiting.userInfo);
  }
  waiting_.clear();
}

void BusNotificationCenter::install(sd_bus* bus, Observer& observer) {
  const BusLibrary& lib = bus_.library();
  const auto route = SignalRoute::of(lib, observer.name);
  if (!route) return;
  // The AddMatch call is queued like any other message, so registering never waits for
  // the bus; signals match locally as soon as the daemon routes them to us.
  sd_bus_slot* slot = nullptr;
  const int r = lib.sd_bus_add_match_async(bus, &slot, route->matchRule().c_str(),
                                           &BusNotificationCenter::onSignal,
                                           &BusNotificationCenter::onMatchInstalled, &observer);
  if (r < 0) {
    bus_.log("couldn't observe " + observer.name + ": " + std::generic_category().message(-r));
    return;
  }
  observer.slot = ownSlot(lib, slot);
}

void BusNotificationCenter::send(
    sd_bus* bus, std::string_view name,
    const std::optional<std::map<std::string, std::string>>& userInfo) {
  const BusLibrary& lib = bus_.library();
  const auto route = SignalRoute::of(lib, name);
  if (!route) return;
  sd_bus_message* raw = nullptr;
  if (lib.sd_bus_message_new_signal(bus, &raw, route->path.c_str(), route->interface.c_str(),
                                    route->member.c_str()) < 0) {
    return;
  }
  const auto message = ownMessage(lib, raw);
  if (userInfo && appendUserInfo(lib, raw, *userInfo) < 0) return;
  // Never blocks: written at once when the socket takes it, otherwise queued for the
  // loop (or for flush). A failure here means the connection is going away, which the
  // bus reports itself.
  lib.sd_bus_send(bus, raw, nullptr);
}

int BusNotificationCenter::onSignal(sd_bus_message* message, void* self, sd_bus_error*) noexcept {
  auto* observer = static_cast<Observer*>(self);
  Notification notification{observer->name,
                            readUserInfo(observer->center->bus_.library(), message)};
  // Delivered through the main queue, after the blocks already waiting there, and never
  // from inside a bus call such as flush().
  observer->center->loop_.post([block = observer->block, notification = std::move(notification)] {
    (*block)(notification);
  });
  return 0;
}

int BusNotificationCenter::onMatchInstalled(sd_bus_message* reply, void* self,
                                            sd_bus_error*) noexcept {
  // Without this handler sd-bus would drop the whole connection when the match is
  // refused. A connection that is closing reports itself.
  auto* observer = static_cast<Observer*>(self);
  const BusLibrary& lib = observer->center->bus_.library();
  const sd_bus_error* error = lib.sd_bus_message_get_error(reply);
  if (error && lib.sd_bus_is_open(lib.sd_bus_message_get_bus(reply)) > 0) {
    observer->center->bus_.log("couldn't observe " + observer->name + ": " +
                               (error->message ? error->message : error->name));
  }
  return 0;
}

}  // namespace quillbeam::bridge::platform
