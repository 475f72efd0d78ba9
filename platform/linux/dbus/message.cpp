#include "platform/linux/dbus/message.hpp"

#include <utility>

namespace quillbeam::platform::dbus {
namespace {

constexpr uint8_t kProtocolVersion = 1;

enum Field : uint8_t {
  kPath = 1,
  kInterface = 2,
  kMember = 3,
  kErrorName = 4,
  kReplySerial = 5,
  kDestination = 6,
  kSender = 7,
  kSignature = 8,
};

void writeField(Writer& out, Field code, std::string_view type, std::string_view value) {
  if (value.empty()) return;
  out.align(8);
  out.byte(code);
  out.signature(type);
  if (type == "g") {
    out.signature(value);
  } else {
    out.string(value);
  }
}

uint32_t readLength(std::string_view bytes, size_t at, bool bigEndian) {
  Reader reader(bytes.substr(at, 4), bigEndian);
  return reader.uint32();
}

}  // namespace

Message Message::methodCall(std::string destination, std::string path, std::string interface,
                            std::string member) {
  Message message;
  message.type = MessageType::MethodCall;
  message.destination = std::move(destination);
  message.path = std::move(path);
  message.interface = std::move(interface);
  message.member = std::move(member);
  return message;
}

Message Message::signal(std::string path, std::string interface, std::string member) {
  Message message;
  message.type = MessageType::Signal;
  message.flags = kNoReplyExpected;
  message.path = std::move(path);
  message.interface = std::move(interface);
  message.member = std::move(member);
  return message;
}

Message Message::busCall(std::string member) {
  return methodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    std::move(member));
}

Message Message::returnFor(const Message& call) {
  Message reply;
  reply.type = MessageType::MethodReturn;
  // Nobody answers a reply.
  reply.flags = kNoReplyExpected;
  reply.replySerial = call.serial;
  reply.destination = call.sender;
  return reply;
}

Message Message::errorFor(const Message& call, std::string name, std::string_view text) {
  Message reply = returnFor(call);
  reply.type = MessageType::Error;
  reply.errorName = std::move(name);
  // Moved in: assigning the literal trips a false -Wrestrict in g++ 12 at -O3.
  reply.signature = std::string(1, 's');
  Writer(reply.body).string(text);
  return reply;
}

std::string errorText(const Message& reply) {
  if (reply.signature.starts_with('s')) {
    try {
      Reader body = reply.bodyReader();
      if (const auto text = body.string(); !text.empty()) return std::string(text);
    } catch (const ProtocolError&) {
      // Only the name is left to tell.
    }
  }
  return reply.errorName;
}

std::string encode(const Message& message) {
  std::string out;
  out.reserve(128 + message.body.size());
  Writer header(out);
  header.byte('l');
  header.byte(static_cast<uint8_t>(message.type));
  header.byte(message.flags);
  header.byte(kProtocolVersion);
  header.uint32(static_cast<uint32_t>(message.body.size()));
  header.uint32(message.serial);
  const auto fields = header.beginArray(8);
  writeField(header, kPath, "o", message.path);
  writeField(header, kInterface, "s", message.interface);
  writeField(header, kMember, "s", message.member);
  writeField(header, kErrorName, "s", message.errorName);
  if (message.replySerial) {
    header.align(8);
    header.byte(kReplySerial);
    header.signature("u");
    header.uint32(*message.replySerial);
  }
  writeField(header, kDestination, "s", message.destination);
  writeField(header, kSender, "s", message.sender);
  writeField(header, kSignature, "g", message.signature);
  header.endArray(fields);
  header.align(8);
  out.append(message.body);
  return out;
}

size_t messageLength(std::string_view prefix) {
  if (prefix.size() < kMessagePrefixLength) throw ProtocolError("a message header is cut short");
  if (prefix[0] != 'l' && prefix[0] != 'B') throw ProtocolError("a message has no byte order");
  if (static_cast<uint8_t>(prefix[3]) != kProtocolVersion) {
    throw ProtocolError("a message has an unknown protocol version");
  }
  const bool bigEndian = prefix[0] == 'B';
  const size_t body = readLength(prefix, 4, bigEndian);
  const size_t fields = readLength(prefix, 12, bigEndian);
  if (body > kMaxMessageLength || fields > kMaxMessageLength) {
    throw ProtocolError("a message is longer than allowed");
  }
  const size_t length = kMessagePrefixLength + (fields + 7) / 8 * 8 + body;
  if (length > kMaxMessageLength) throw ProtocolError("a message is longer than allowed");
  return length;
}

Message decode(std::string_view bytes) {
  const size_t length = messageLength(bytes);
  if (bytes.size() != length) throw ProtocolError("a message is cut short");
  Message message;
  message.bigEndian = bytes[0] == 'B';
  Reader reader(bytes, message.bigEndian);
  reader.byte();
  message.type = static_cast<MessageType>(reader.byte());
  message.flags = reader.byte();
  reader.byte();
  const uint32_t bodyLength = reader.uint32();
  message.serial = reader.uint32();
  if (message.serial == 0) throw ProtocolError("a message has no serial");

  const size_t fieldsEnd = reader.beginArray(8);
  while (reader.position() < fieldsEnd) {
    reader.align(8);
    const uint8_t code = reader.byte();
    const std::string_view type = reader.variantType();
    auto expect = [&](std::string_view wanted) {
      if (type != wanted) throw ProtocolError("a header field has the wrong type");
    };
    switch (code) {
      case kPath:
        expect("o");
        message.path = reader.string();
        break;
      case kInterface:
        expect("s");
        message.interface = reader.string();
        break;
      case kMember:
        expect("s");
        message.member = reader.string();
        break;
      case kErrorName:
        expect("s");
        message.errorName = reader.string();
        break;
      case kReplySerial:
        expect("u");
        message.replySerial = reader.uint32();
        break;
      case kDestination:
        expect("s");
        message.destination = reader.string();
        break;
      case kSender:
        expect("s");
        message.sender = reader.string();
        break;
      case kSignature:
        expect("g");
        message.signature = reader.signature();
        break;
      default:
        // Fields added to the protocol later are ignored.
        reader.skip(type);
    }
  }
  if (reader.position() != fieldsEnd) throw ProtocolError("the header fields overrun");
  reader.align(8);
  if (bytes.size() - reader.position() != bodyLength) throw ProtocolError("the body is misplaced");
  message.body = std::string(bytes.substr(reader.position()));

  const bool hasNames = !message.path.empty() && !message.member.empty();
  switch (message.type) {
    case MessageType::MethodCall:
      if (!hasNames) throw ProtocolError("a method call lacks its path or member");
      break;
    case MessageType::Signal:
      if (!hasNames || message.interface.empty()) {
        throw ProtocolError("a signal lacks its path, interface or member");
      }
      break;
    case MessageType::Error:
      if (message.errorName.empty()) throw ProtocolError("an error lacks its name");
      [[fallthrough]];
    case MessageType::MethodReturn:
      if (!message.replySerial) throw ProtocolError("a reply lacks the serial it answers");
      break;
    default:
      // Types added to the protocol later are read and then ignored.
      break;
  }
  return message;
}

}  // namespace quillbeam::platform::dbus
