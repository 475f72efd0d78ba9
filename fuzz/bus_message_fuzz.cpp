// The bus client's reading of what the bus sends: any bytes as a message, and the user
// info of any signal. Nothing may crash or read out of bounds; a message that decodes
// encodes again to one that decodes to the same fields and body.
#include <tuple>

#include "platform/linux/dbus/message.hpp"
#include "platform/linux/notification_signal.hpp"

using namespace quillbeam::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto fields = [](const dbus::Message& m) {
    return std::tie(m.type, m.flags, m.serial, m.replySerial, m.path, m.interface, m.member,
                    m.errorName, m.destination, m.sender, m.signature, m.body, m.bigEndian);
  };
  try {
    // The length the connection reads from the socket before decoding stays in bounds.
    const size_t length =
        size < dbus::kMessagePrefixLength ? dbus::kMessagePrefixLength : dbus::messageLength(bytes);
    FUZZ_CHECK(length >= dbus::kMessagePrefixLength && length <= dbus::kMaxMessageLength);
    const dbus::Message a = dbus::decode(bytes);
    if (a.type == dbus::MessageType::Signal) static_cast<void>(readUserInfo(a));
    static_cast<void>(dbus::errorText(a));
    // We write little-endian only, so only such a body means the same after encoding.
    if (!a.bigEndian) FUZZ_CHECK(fields(dbus::decode(dbus::encode(a))) == fields(a));
  } catch (const dbus::ProtocolError&) {
    // Refused: what the connection does with it is to close.
  }
  return 0;
}
