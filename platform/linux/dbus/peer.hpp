#pragma once

#include <optional>

#include "platform/linux/dbus/message.hpp"

namespace quillbeam::platform::dbus {

// The org.freedesktop.DBus.Peer interface that every bus connection offers on every
// path, so that bus tools and monitors can ping us and learn our machine: the reply to
// `call` when it is Ping or GetMachineId, nothing for any other call.
std::optional<Message> peerReply(const Message& call);

}  // namespace quillbeam::platform::dbus
