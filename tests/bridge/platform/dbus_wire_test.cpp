// The bus wire format on its own: addresses, names, signatures, and messages through
// encode and decode, including what a hostile or broken peer could send. The tests on a
// real dbus-daemon check the same code against another implementation.
#include <gtest/gtest.h>

#include "platform/linux/dbus/address.hpp"
#include "platform/linux/dbus/marshal.hpp"
#include "platform/linux/dbus/message.hpp"
#include "platform/linux/dbus/names.hpp"
#include "platform/linux/notification_signal.hpp"

namespace quillbeam::bridge::platform::dbus {
namespace {

using Endpoints = std::vector<SocketEndpoint>;

TEST(BusAddresses, NameTheirUnixSocketsOrSayWhyNot) {
  const std::pair<const char*, std::variant<Endpoints, std::string>> cases[] = {
      {"unix:abstract=/tmp/dbus-x1,guid=0f0e", Endpoints{{"/tmp/dbus-x1", true}}},
      {"tcp:host=localhost,port=1;unix:path=/a;;unix:guid=0f,path=/b%20c%2c%3b",
       Endpoints{{"/a", false}, {"/b c,;", false}}},
      {"", "the bus address is empty"},
      {"not-an-address", "the bus address has no transport"},
      {"tcp:host=localhost,port=1", "the bus address names no Unix socket"},
      {"unix:path", "the bus address has a key without a value"},
      {"unix:path=", "the bus address has a malformed socket name"},
      {"unix:path=/a%2", "the bus address has a malformed socket name"},
      {"unix:path=/a%zz", "the bus address has a malformed socket name"},
  };
  for (const auto& [address, expected] : cases) {
    EXPECT_EQ(socketEndpoints(address), expected) << address;
  }
}

TEST(Names, FollowTheBusRules) {
  using Names = std::vector<std::string>;
  const std::tuple<bool (*)(std::string_view), Names, Names> cases[] = {
      {isInterfaceName,
       {"com.quillbeam.companion"},
       {"com", "com..quillbeam", "com.9lives", "com.quill-beam", "a." + std::string(254, 'b')}},
      {isMemberName, {"browserState"}, {"", "1st", "a.b"}},
      {isObjectPath, {"/", "/com/quillbeam"}, {"/com/", "//com", "com", "/com/quill-beam"}},
      {isBusName, {"com.quill-beam.mac", ":1.42"}, {"com", "com.7up"}},
      // Text: a NUL, a cut sequence, overlong, a surrogate, past U+10FFFF.
      {isValidText,
       {"caf\xc3\xa9 \xf0\x9f\x8c\xb1"},
       {std::string("a\0b", 3), "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}},
  };
  for (const auto& [check, valid, invalid] : cases) {
    for (const auto& name : valid) EXPECT_TRUE(check(name)) << name;
    for (const auto& name : invalid) EXPECT_FALSE(check(name)) << name;
  }
}

TEST(Signatures, CompleteTypesAreMeasuredAndMalformedOnesRefused) {
  EXPECT_EQ(completeTypeLength("a{sv}s"), 5u);
  EXPECT_EQ(completeTypeLength("(sa(ii))"), 8u);
  EXPECT_EQ(completeTypeLength("v"), 1u);
  for (std::string_view bad : {"", "{sv}", "a{vs}", "a{s}", "()", "(s", "a", "z", "a{sv"}) {
    EXPECT_EQ(completeTypeLength(bad), 0u) << bad;
  }
  EXPECT_TRUE(isSignature(std::string(32, 'a') + "s"));
  EXPECT_FALSE(isSignature(std::string(33, 'a') + "s"));
  EXPECT_TRUE(isSignature(std::string(32, '(') + "s" + std::string(32, ')')));
  EXPECT_FALSE(isSignature(std::string(33, '(') + "s" + std::string(33, ')')));
  EXPECT_FALSE(isSignature(std::string(256, 's')));
}

Message sampleCall() {
  Message call = Message::methodCall("org.example.Peer", "/org/example", "org.example.Iface", "Do");
  call.serial = 7;
  call.signature = "sua{sv}";
  Writer body(call.body);
  body.string("text");
  body.uint32(42);
  const auto entries = body.beginArray(8);
  body.align(8);
  body.string("json");
  body.signature("s");
  body.string("{}");
  body.endArray(entries);
  return call;
}

TEST(Messages, SurviveEncodeAndDecodeWithEveryField) {
  const Message call = sampleCall();
  const std::string bytes = encode(call);
  EXPECT_EQ(bytes.size() % 8, call.body.size() % 8);
  ASSERT_EQ(messageLength(bytes), bytes.size());
  const Message back = decode(bytes);
  EXPECT_EQ(std::tie(back.type, back.serial, back.destination, back.path, back.interface,
                     back.member, back.signature, back.body),
            std::tie(call.type, call.serial, call.destination, call.path, call.interface,
                     call.member, call.signature, call.body));
  Reader body = back.bodyReader();
  EXPECT_EQ(body.string(), "text");
  EXPECT_EQ(body.uint32(), 42u);
  body.skip("a{sv}");
  EXPECT_TRUE(body.atEnd());
}

TEST(Messages, BigEndianOnesAreReadToo) {
  const std::string bytes(
      "B\x04\x01\x01\0\0\0\x08\0\0\0\x05\0\0\0\x37"  // signal, body 8 bytes, serial 5
      "\x01\x01o\0\0\0\0\x02/a\0\0\0\0\0\0"          // path
      "\x02\x01s\0\0\0\0\x03"
      "a.b\0\0\0\0\0"  // interface
      "\x03\x01s\0\0\0\0\x01"
      "C\0\0\0\0\0\0\0"       // member
      "\x08\x01g\0\x01s\0\0"  // body signature
      "\0\0\0\x02hi\0\0",
      80);
  const Message signal = decode(bytes);
  EXPECT_EQ(std::tie(signal.type, signal.serial, signal.path, signal.interface, signal.member),
            std::tuple(MessageType::Signal, 5u, "/a", "a.b", "C"));
  EXPECT_EQ(signal.bodyReader().string(), "hi");
}

TEST(Messages, CorruptOnesAreRefusedWithoutReadingPastTheirBytes) {
  const std::pair<const char*, void (*)(std::string&)> corruptions[] = {
      {"no byte order", [](std::string& b) { b[0] = 'x'; }},
      {"other version", [](std::string& b) { b[3] = 2; }},
      {"no serial", [](std::string& b) { b.replace(8, 4, std::string(4, '\0')); }},
      {"body longer than sent", [](std::string& b) { b[4] = static_cast<char>(b[4] + 8); }},
      {"huge body", [](std::string& b) { b.replace(4, 4, "\xff\xff\xff\x7f"); }},
      {"path field typed s",
       [](std::string& b) { b[b.find(std::string("\x01\x01o\x00", 4)) + 2] = 's'; }},
      {"unterminated string", [](std::string& b) { b[b.find("/org/example") + 12] = 'x'; }},
      {"call without member",
       [](std::string& b) { b[b.find(std::string("\x03\x01s", 3))] = 0x7f; }},
  };
  for (const auto& [label, corrupt] : corruptions) {
    std::string bytes = encode(sampleCall());
    corrupt(bytes);
    EXPECT_THROW(decode(bytes), ProtocolError) << label;
  }
  const std::string bytes = encode(sampleCall());
  for (size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_THROW(decode(std::string_view(bytes).substr(0, length)), ProtocolError) << length;
  }
}

TEST(Messages, BodiesNestedTooDeeplyOrWithArraysEndingInsideAnElementAreRefused) {
  std::string deep, stray;
  Writer nested(deep);
  for (int i = 0; i < 80; ++i) nested.signature("v");
  nested.signature("s");
  nested.string("deep");
  EXPECT_THROW(Reader(deep, false).skip("v"), ProtocolError);
  Writer out(stray);
  const auto array = out.beginArray(4);
  out.uint32(1);
  out.byte(9);  // a stray byte inside an array of uint32
  out.endArray(array);
  EXPECT_THROW(Reader(stray, false).skip("au"), ProtocolError);
}

TEST(UserInfo, TextOnlySurvivesAndUnencodableEntriesRefuseTheSignal) {
  const auto route = SignalRoute::of("com.quillbeam.companion.command");
  ASSERT_TRUE(route.has_value());
  auto signal = notificationSignal(*route, std::map<std::string, std::string>{{"json", "{}"}});
  ASSERT_TRUE(signal.has_value());
  signal->serial = 1;
  const Message back = decode(encode(*signal));
  EXPECT_EQ(readUserInfo(back), (UserInfo{{"json", "{}"}}));
  EXPECT_FALSE(notificationSignal(
                   *route, std::map<std::string, std::string>{{"json", std::string("a\0b", 3)}})
                   .has_value());
  EXPECT_FALSE(
      notificationSignal(*route, std::map<std::string, std::string>{{"json", "\xff"}}).has_value());
  EXPECT_FALSE(SignalRoute::of("nodots").has_value());
  EXPECT_FALSE(SignalRoute::of("com.quillbeam.9lives").has_value());
}

}  // namespace
}  // namespace quillbeam::bridge::platform::dbus
