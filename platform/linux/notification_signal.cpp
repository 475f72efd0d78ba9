#include "platform/linux/notification_signal.hpp"

#include "platform/linux/dbus/names.hpp"

namespace quillbeam::platform {

std::optional<SignalRoute> SignalRoute::of(std::string_view notificationName) {
  const auto dot = notificationName.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  SignalRoute route;
  route.interface = std::string(notificationName.substr(0, dot));
  route.member = std::string(notificationName.substr(dot + 1));
  route.path = "/" + route.interface;
  for (char& c : route.path) {
    if (c == '.') c = '/';
  }
  if (!dbus::isInterfaceName(route.interface) || !dbus::isMemberName(route.member) ||
      !dbus::isObjectPath(route.path)) {
    return std::nullopt;
  }
  return route;
}

std::string SignalRoute::matchRule() const {
  // Interface and member names cannot hold quotes, so they need no escaping.
  return "type='signal',interface='" + interface + "',member='" + member + "'";
}

std::optional<dbus::Message> notificationSignal(
    const SignalRoute& route, const std::optional<std::map<std::string, std::string>>& userInfo) {
  dbus::Message signal = dbus::Message::signal(route.path, route.interface, route.member);
  if (!userInfo) return signal;
  signal.signature = "a{sv}";
  dbus::Writer body(signal.body);
  const auto entries = body.beginArray(8);
  for (const auto& [key, value] : *userInfo) {
    if (!dbus::isValidText(key) || !dbus::isValidText(value)) return std::nullopt;
    body.align(8);
    body.string(key);
    body.signature("s");
    body.string(value);
  }
  body.endArray(entries);
  return signal;
}

std::optional<UserInfo> readUserInfo(const dbus::Message& signal) {
  if (signal.signature != "a{sv}") return std::nullopt;
  try {
    dbus::Reader body = signal.bodyReader();
    const size_t end = body.beginArray(8);
    UserInfo info;
    while (body.position() < end) {
      body.align(8);
      std::string key(body.string());
      const std::string_view type = body.variantType();
      std::optional<std::string> text;
      if (type == "s") {
        text = std::string(body.string());
      } else {
        body.skip(type);
      }
      // A key given twice keeps its last value.
      info.insert_or_assign(std::move(key), std::move(text));
    }
    if (body.position() != end || !body.atEnd()) return std::nullopt;
    return info;
  } catch (const dbus::ProtocolError&) {
    return std::nullopt;
  }
}

}  // namespace quillbeam::platform
