#include "platform/linux/notification_signal.hpp"

#include <cstring>

namespace quillbeam::bridge::platform {

std::optional<SignalRoute> SignalRoute::of(const BusLibrary& library,
                                           std::string_view notificationName) {
  const auto dot = notificationName.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  SignalRoute route;
  route.interface = std::string(notificationName.substr(0, dot));
  route.member = std::string(notificationName.substr(dot + 1));
  route.path = "/" + route.interface;
  for (char& c : route.path) {
    if (c == '.') c = '/';
  }
  if (library.sd_bus_interface_name_is_valid(route.interface.c_str()) <= 0 ||
      library.sd_bus_member_name_is_valid(route.member.c_str()) <= 0 ||
      library.sd_bus_object_path_is_valid(route.path.c_str()) <= 0) {
    return std::nullopt;
  }
  return route;
}

std::string SignalRoute::matchRule() const {
  // Interface and member names cannot hold quotes, so they need no escaping.
  return "type='signal',interface='" + interface + "',member='" + member + "'";
}

int appendUserInfo(const BusLibrary& library, sd_bus_message* message,
                   const std::map<std::string, std::string>& userInfo) {
  int r = library.sd_bus_message_open_container(message, 'a', "{sv}");
  for (auto it = userInfo.begin(); r >= 0 && it != userInfo.end(); ++it) {
    r = library.sd_bus_message_append(message, "{sv}", it->first.c_str(), "s", it->second.c_str());
  }
  if (r >= 0) r = library.sd_bus_message_close_container(message);
  return r;
}

std::optional<UserInfo> readUserInfo(const BusLibrary& library, sd_bus_message* message) {
  const char* signature = library.sd_bus_message_get_signature(message, 1);
  if (!signature || std::strcmp(signature, "a{sv}") != 0) return std::nullopt;
  if (library.sd_bus_message_rewind(message, 1) < 0) return std::nullopt;
  if (library.sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return std::nullopt;
  UserInfo info;
  int r = 0;
  while ((r = library.sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (library.sd_bus_message_read_basic(message, 's', &key) < 0 ||
        library.sd_bus_message_peek_type(message, nullptr, &contents) < 0) {
      return std::nullopt;
    }
    std::optional<std::string> text;
    if (contents && std::strcmp(contents, "s") == 0) {
      const char* value = nullptr;
      if (library.sd_bus_message_read(message, "v", "s", &value) < 0) return std::nullopt;
      text = value;
    } else if (library.sd_bus_message_skip(message, "v") < 0) {
      return std::nullopt;
    }
    // A key given twice keeps its last value.
    info.insert_or_assign(key, std::move(text));
    if (library.sd_bus_message_exit_container(message) < 0) return std::nullopt;
  }
  if (r < 0) return std::nullopt;
  return info;
}

}  // namespace quillbeam::bridge::platform
