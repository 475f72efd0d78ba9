#include "support/bus_listener.hpp"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace quillbeam::testing {
namespace {

int check(int r, const std::string& what) {
  if (r < 0) {
    throw std::runtime_error("bus listener: " + what + ": " + std::generic_category().message(-r));
  }
  return r;
}

// The "json" text of an a{sv} body, if there is one.
std::optional<std::string> jsonEntry(sd_bus_message* m) {
  std::optional<std::string> json;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return json;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* type = nullptr;
    const char* text = nullptr;
    if (sd_bus_message_read_basic(m, 's', &key) < 0 ||
        sd_bus_message_peek_type(m, nullptr, &type) < 0) {
      break;
    }
    if (std::string_view(key) == "json" && type && std::string_view(type) == "s" &&
        sd_bus_message_read(m, "v", "s", &text) >= 0) {
      json = text;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      break;
    }
    sd_bus_message_exit_container(m);
  }
  return json;
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

void BusListener::process() const {
  while (sd_bus_process(bus_.get(), nullptr) > 0) {
  }
}

void BusListener::subscribe(std::string_view interface, std::string_view member) {
  const std::string rule = "type='signal',interface='" + std::string(interface) + "',member='" +
                           std::string(member) + "'";
  std::lock_guard lock(lock_);
  sd_bus_slot* slot = nullptr;
  const auto record = [](sd_bus_message* m, void* self, sd_bus_error*) {
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    ReceivedSignal signal{
        text(sd_bus_message_get_sender(m)),       text(sd_bus_message_get_path(m)),
        text(sd_bus_message_get_interface(m)),    text(sd_bus_message_get_member(m)),
        text(sd_bus_message_get_signature(m, 1)), std::nullopt};
    if (signal.signature == "a{sv}") signal.json = jsonEntry(m);
    static_cast<BusListener*>(self)->received_.push_back(std::move(signal));
    return 0;
  };
  // The synchronous form waits for the daemon's reply, so the match is live on return.
  check(sd_bus_add_match(bus_.get(), &slot, rule.c_str(), record, this), rule);
  slots_.emplace_back(slot);
}

void BusListener::subscribe(std::string_view notificationName) {
  const auto route = SignalRoute::of(notificationName);
  subscribe(route.interface, route.member);
}

std::vector<ReceivedSignal> BusListener::received() const {
  std::lock_guard lock(lock_);
  process();
  return received_;
}

bool BusListener::waitForCount(size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Waits in short slices, so that other threads get their turn with the bus.
    std::lock_guard lock(lock_);
    process();
    if (received_.size() >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sd_bus_wait(bus_.get(), 10'000);
  }
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
  std::lock_guard lock(lock_);
  sd_bus_message* raw = nullptr;
  check(sd_bus_message_new_signal(bus_.get(), &raw, route.path.c_str(), route.interface.c_str(),
                                  route.member.c_str()),
        "new signal");
  std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> message(raw,
                                                                           &sd_bus_message_unref);
  check(writeBody(raw), "signal body");
  check(sd_bus_send(bus_.get(), raw, nullptr), "send");
  check(sd_bus_flush(bus_.get()), "flush");
}

void BusListener::requestName(std::string_view name) {
  std::lock_guard lock(lock_);
  check(sd_bus_request_name(bus_.get(), std::string(name).c_str(), 0), "request name");
}

void BusListener::releaseName(std::string_view name) {
  std::lock_guard lock(lock_);
  check(sd_bus_release_name(bus_.get(), std::string(name).c_str()), "release name");
}

std::string BusListener::uniqueName() const {
  std::lock_guard lock(lock_);
  const char* name = nullptr;
  return sd_bus_get_unique_name(bus_.get(), &name) >= 0 && name ? name : "";
}

}  // namespace quillbeam::testing
