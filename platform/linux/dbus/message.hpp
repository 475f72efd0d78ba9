#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/dbus/marshal.hpp"

namespace quillbeam::platform::dbus {

enum class MessageType : uint8_t { MethodCall = 1, MethodReturn = 2, Error = 3, Signal = 4 };

// One bus message: its header fields and its marshalled body. Empty texts stand for
// absent fields.
struct Message {
  static constexpr uint8_t kNoReplyExpected = 0x1;

  MessageType type = MessageType::MethodCall;
  uint8_t flags = 0;
  uint32_t serial = 0;
  std::optional<uint32_t> replySerial;
  std::string path;
  std::string interface;
  std::string member;
  std::string errorName;
  std::string destination;
  std::string sender;
  std::string signature;  // of the body
  std::string body;
  bool bigEndian = false;  // the byte order of `body`

  Reader bodyReader() const { return Reader(body, bigEndian); }

  static Message methodCall(std::string destination, std::string path, std::string interface,
                            std::string member);
  static Message signal(std::string path, std::string interface, std::string member);
  // A call to the bus daemon itself.
  static Message busCall(std::string member);
  // The return for `call`, its body still empty.
  static Message returnFor(const Message& call);
  // The error reply `name` for `call`, carrying `text` (valid text, see isValidText).
  static Message errorFor(const Message& call, std::string name, std::string_view text);
};

// The text of an error reply: its message when it carries one, else the error's name.
std::string errorText(const Message& reply);

// The longest message the protocol allows.
constexpr size_t kMaxMessageLength = 128u * 1024u * 1024u;
// The fixed start of every message, which tells its whole length.
constexpr size_t kMessagePrefixLength = 16;

// The message in the wire format, little-endian. `message.serial` must be set and its
// names valid.
std::string encode(const Message& message);

// The length of the message whose first kMessagePrefixLength bytes are `prefix`. Throws
// ProtocolError when they cannot start a message or announce more than the protocol allows.
size_t messageLength(std::string_view prefix);

// Reads one whole message (exactly messageLength bytes). Throws ProtocolError when it
// breaks the format or lacks a field its type requires.
Message decode(std::string_view bytes);

}  // namespace quillbeam::platform::dbus
