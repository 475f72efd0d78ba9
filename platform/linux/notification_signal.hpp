#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/dbus/message.hpp"

namespace quillbeam::platform {

// How a notification travels on the bus: "a.b.c.Member" is the signal with interface
// "a.b.c" and member "Member", sent from object path "/a/b/c".
struct SignalRoute {
  std::string path;
  std::string interface;
  std::string member;

  // Absent when the name does not make a valid interface, member and path.
  static std::optional<SignalRoute> of(std::string_view notificationName);

  // The bus match rule for this signal from any sender and any path.
  std::string matchRule() const;
};

using UserInfo = std::map<std::string, std::optional<std::string>>;

// The signal for a notification: user info travels as one a{sv} whose values are
// strings. Absent when an entry is not text the bus can carry (invalid UTF-8 or NUL).
std::optional<dbus::Message> notificationSignal(
    const SignalRoute& route, const std::optional<std::map<std::string, std::string>>& userInfo);

// Reads the user info of a received signal. Only a body of exactly one a{sv} carries any;
// an empty body or any other shape gives none. A value that is not a string gives an
// entry without text.
std::optional<UserInfo> readUserInfo(const dbus::Message& signal);

}  // namespace quillbeam::platform
