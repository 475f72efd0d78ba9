#include "platform/linux/dbus/peer.hpp"

#include <fstream>
#include <string>

namespace quillbeam::platform::dbus {
namespace {

// The machine's id as the bus libraries read it: 32 hex digits.
std::optional<std::string> machineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id;
    std::ifstream(path) >> id;
    if (id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos) {
      return id;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Message> peerReply(const Message& call) {
  if (call.interface != "org.freedesktop.DBus.Peer") return std::nullopt;
  Message reply;
  reply.type = MessageType::MethodReturn;
  if (call.member == "GetMachineId") {
    const auto id = machineId();
    if (!id) {
      reply.type = MessageType::Error;
      reply.errorName = "org.freedesktop.DBus.Error.FileNotFound";
    } else {
      reply.signature = "s";
      Writer(reply.body).string(*id);
    }
  } else if (call.member != "Ping") {
    return std::nullopt;
  }
  reply.flags = Message::kNoReplyExpected;
  reply.replySerial = call.serial;
  reply.destination = call.sender;
  return reply;
}

}  // namespace quillbeam::platform::dbus
