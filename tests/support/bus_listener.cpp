#include "support/bus_listener.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/eventually.hpp"

namespace quillbeam::testing {
namespace {

void check(int r, const std::string& what) {
  if (r < 0) throw std::runtime_error("bus listener: " + what + ": " + std::strerror(-r));
}

int record(sd_bus_message* m, void* received, sd_bus_error*) {
  const auto text = [](const char* s) { return std::string(s ? s : ""); };
  ReceivedSignal s{text(sd_bus_message_get_sender(m)),       text(sd_bus_message_get_path(m)),
                   text(sd_bus_message_get_interface(m)),    text(sd_bus_message_get_member(m)),
                   text(sd_bus_message_get_signature(m, 1)), ""};
  const char *key = nullptr, *value = nullptr;
  if (s.signature == "a{sv}" && sd_bus_message_read(m, "a{sv}", 1, &key, "s", &value) > 0 &&
      text(key) == "json")
    s.json = text(value);
  static_cast<std::vector<ReceivedSignal>*>(received)->push_back(std::move(s));
  return 0;
}

}  // namespace

SignalRoute SignalRoute::of(std::string_view notificationName) {
  const auto dot = notificationName.rfind('.');
  SignalRoute route{"", std::string(notificationName.substr(0, dot)),
                    std::string(notificationName.substr(dot + 1))};
  route.path = "/" + route.interface;
  std::replace(route.path.begin(), route.path.end(), '.', '/');
  return route;
}

BusListener::BusListener(const std::string& address) {
  sd_bus* bus = nullptr;
  check(sd_bus_new(&bus), "sd_bus_new");
  bus_.reset(bus);
  check(sd_bus_set_address(bus, address.c_str()), "address " + address);
  check(sd_bus_set_bus_client(bus, 1), "bus client");
  check(sd_bus_start(bus), "connect to " + address);
  // A first call completes the handshake, so names and matches work at once.
  check(sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetId", nullptr, nullptr, ""),
        "handshake");
}

void BusListener::subscribe(std::string_view notificationName) {
  const auto route = SignalRoute::of(notificationName);
  const std::string rule =
      "type='signal',interface='" + route.interface + "',member='" + route.member + "'";
  sd_bus_slot* slot = nullptr;
  // The synchronous form waits for the daemon's reply, so the match is live on return.
  check(sd_bus_add_match(bus_.get(), &slot, rule.c_str(), record, &received_), rule);
  slots_.emplace_back(slot, &sd_bus_slot_unref);
}

std::vector<ReceivedSignal> BusListener::received() {
  while (sd_bus_process(bus_.get(), nullptr) > 0) {
  }
  return received_;
}

bool BusListener::waitForCount(size_t count, std::chrono::milliseconds timeout) {
  return eventually([&] { return received().size() >= count; },
                    [&] { sd_bus_wait(bus_.get(), 10'000); }, timeout);
}

void BusListener::emit(std::string_view notificationName,
                       const std::optional<std::map<std::string, std::string>>& entries) {
  emitRaw(SignalRoute::of(notificationName), [&](sd_bus_message* m) {
    if (!entries) return 0;
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [key, value] : *entries) {
      if (r >= 0) r = sd_bus_message_append(m, "{sv}", key.c_str(), "s", value.c_str());
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
  });
}

void BusListener::emitRaw(const SignalRoute& route,
                          const std::function<int(sd_bus_message*)>& writeBody) {
  sd_bus_message* raw = nullptr;
  check(sd_bus_message_new_signal(bus_.get(), &raw, route.path.c_str(), route.interface.c_str(),
                                  route.member.c_str()),
        "new signal");
  const std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> owned(
      raw, &sd_bus_message_unref);
  check(writeBody(raw), "signal body");
  check(sd_bus_send(bus_.get(), raw, nullptr), "send");
  check(sd_bus_flush(bus_.get()), "flush");
}

}  // namespace quillbeam::testing
