// The bus client's reading of what the bus sends: any bytes as a message, and the user
// info of any signal. Nothing may crash or read out of bounds; a message that decodes
// encodes again to one that decodes to the same fields and body.
#include "fuzz.hpp"
#include "platform/linux/dbus/message.hpp"
#include "platform/linux/notification_signal.hpp"

namespace platform = quillbeam::bridge::platform;
namespace dbus = platform::dbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    if (bytes.size() >= dbus::kMessagePrefixLength) {
      const size_t length = dbus::messageLength(bytes);
      FUZZ_CHECK(length >= dbus::kMessagePrefixLength && length <= dbus::kMaxMessageLength);
    }
    const dbus::Message a = dbus::decode(bytes);
    if (a.type == dbus::MessageType::Signal) static_cast<void>(platform::readUserInfo(a));
    static_cast<void>(dbus::errorText(a));
    // We write little-endian only, so only such a body means the same after encoding.
    if (a.bigEndian) return 0;
    const dbus::Message b = dbus::decode(dbus::encode(a));
    FUZZ_CHECK(a.type == b.type && a.flags == b.flags && a.serial == b.serial &&
               a.replySerial == b.replySerial && a.path == b.path && a.interface == b.interface &&
               a.member == b.member && a.errorName == b.errorName &&
               a.destination == b.destination && a.sender == b.sender &&
               a.signature == b.signature && a.body == b.body);
  } catch (const dbus::ProtocolError&) {
    // Refused: what the connection does with it is to close.
  }
  return 0;
}
