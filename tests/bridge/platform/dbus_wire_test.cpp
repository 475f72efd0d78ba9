// The bus wire format on its own: names, signatures, and messages through encode and
// decode, including what a hostile or broken peer could send. The tests on a real
// dbus-daemon check the same code against another implementation.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/linux/dbus/marshal.hpp"
#include "platform/linux/dbus/message.hpp"
#include "platform/linux/dbus/names.hpp"
#include "platform/linux/notification_signal.hpp"

namespace quillbeam::bridge::platform::dbus {
namespace {

struct NameCase {
  bool (*check)(std::string_view);
  std::string name;
  bool valid;
};

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, FollowTheBusRules) {
  EXPECT_EQ(GetParam().check(GetParam().name), GetParam().valid) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Names,
    ::testing::Values(
        NameCase{isInterfaceName, "com.quillbeam.companion", true},
        NameCase{isInterfaceName, "com", false}, NameCase{isInterfaceName, "com..quillbeam", false},
        NameCase{isInterfaceName, "com.9lives", false},
        NameCase{isInterfaceName, "com.quill-beam", false},
        NameCase{isInterfaceName, "a." + std::string(254, 'b'), false},
        NameCase{isMemberName, "browserState", true}, NameCase{isMemberName, "", false},
        NameCase{isMemberName, "1st", false}, NameCase{isMemberName, "a.b", false},
        NameCase{isObjectPath, "/", true}, NameCase{isObjectPath, "/com/quillbeam", true},
        NameCase{isObjectPath, "/com/", false}, NameCase{isObjectPath, "//com", false},
        NameCase{isObjectPath, "com", false}, NameCase{isObjectPath, "/com/quill-beam", false},
        NameCase{isBusName, "com.quillbeam.mac", true},
        NameCase{isBusName, "com.quill-beam.mac", true}, NameCase{isBusName, ":1.42", true},
        NameCase{isBusName, "com", false}, NameCase{isBusName, "com.7up", false},
        NameCase{isValidText, "caf\xc3\xa9 \xf0\x9f\x8c\xb1", true},
        NameCase{isValidText, std::string("a\0b", 3), false}, NameCase{isValidText, "\xc3", false},
        NameCase{isValidText, "\xc0\xaf", false},            // overlong
        NameCase{isValidText, "\xed\xa0\x80", false},        // surrogate
        NameCase{isValidText, "\xf4\x90\x80\x80", false}));  // past U+10FFFF

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
  EXPECT_EQ(back.type, MessageType::MethodCall);
  EXPECT_EQ(back.serial, 7u);
  EXPECT_EQ(back.destination, "org.example.Peer");
  EXPECT_EQ(back.path, "/org/example");
  EXPECT_EQ(back.interface, "org.example.Iface");
  EXPECT_EQ(back.member, "Do");
  EXPECT_EQ(back.signature, "sua{sv}");
  EXPECT_EQ(back.body, call.body);
  Reader body = back.bodyReader();
  EXPECT_EQ(body.string(), "text");
  EXPECT_EQ(body.uint32(), 42u);
  body.skip("a{sv}");
  EXPECT_TRUE(body.atEnd());
}

TEST(Messages, BigEndianOnesAreReadToo) {
  // A signal from a big-endian peer: /a, interface a.b, member C, body "s" = "hi".
  std::string bytes("B\x04\x01\x01", 4);
  bytes += std::string("\x00\x00\x00\x08", 4);  // body length
  bytes += std::string("\x00\x00\x00\x05", 4);  // serial
  std::string fields;
  fields += std::string("\x01\x01o\x00\x00\x00\x00\x02/a\x00", 11);
  fields += std::string(5, '\0');
  fields += std::string(
      "\x02\x01s\x00\x00\x00\x00\x03"
      "a.b\x00",
      12);
  fields += std::string(4, '\0');
  fields += std::string(
      "\x03\x01s\x00\x00\x00\x00\x01"
      "C\x00",
      10);
  fields += std::string(6, '\0');
  fields += std::string("\x08\x01g\x00\x01s\x00", 7);
  const auto length = static_cast<uint32_t>(fields.size());
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(length >> shift));
  bytes += fields;
  bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
  bytes += std::string("\x00\x00\x00\x02hi\x00", 7);
  bytes.push_back('\0');  // the body length counts 8 bytes
  const Message signal = decode(bytes);
  EXPECT_EQ(signal.type, MessageType::Signal);
  EXPECT_EQ(signal.serial, 5u);
  EXPECT_EQ(signal.path, "/a");
  EXPECT_EQ(signal.interface, "a.b");
  EXPECT_EQ(signal.member, "C");
  Reader body = signal.bodyReader();
  EXPECT_EQ(body.string(), "hi");
}

TEST(Messages, EveryCutOfAValidMessageIsRefused) {
  const std::string bytes = encode(sampleCall());
  for (size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_THROW(decode(std::string_view(bytes).substr(0, length)), ProtocolError) << length;
  }
}

struct Corruption {
  const char* label;
  void (*apply)(std::string& bytes);
};

class CorruptMessages : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptMessages, AreRefusedWithoutReadingPastTheirBytes) {
  std::string bytes = encode(sampleCall());
  GetParam().apply(bytes);
  EXPECT_THROW(decode(bytes), ProtocolError);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CorruptMessages,
    ::testing::Values(
        Corruption{"NoByteOrder", [](std::string& b) { b[0] = 'x'; }},
        Corruption{"OtherVersion", [](std::string& b) { b[3] = 2; }},
        Corruption{"NoSerial", [](std::string& b) { b.replace(8, 4, std::string(4, '\0')); }},
        Corruption{"BodyLongerThanSent",
                   [](std::string& b) { b[4] = static_cast<char>(b[4] + 8); }},
        Corruption{"HugeBody", [](std::string& b) { b.replace(4, 4, "\xff\xff\xff\x7f"); }},
        Corruption{"FieldOfTheWrongType",
                   [](std::string& b) {
                     // The path field's signature "o" becomes "s".
                     b[b.find(std::string("\x01\x01o\x00", 4)) + 2] = 's';
                   }},
        Corruption{"UnterminatedString",
                   [](std::string& b) { b[b.find("/org/example") + 12] = 'x'; }},
        Corruption{"CallWithoutMember",
                   [](std::string& b) { b[b.find(std::string("\x03\x01s", 3))] = 0x7f; }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Messages, AVariantNestedBeyondTheLimitIsRefused) {
  std::string body;
  Writer out(body);
  for (int i = 0; i < 80; ++i) out.signature("v");
  out.signature("s");
  out.string("deep");
  Reader in(body, false);
  EXPECT_THROW(in.skip("v"), ProtocolError);
}

TEST(Messages, AnArrayMayNotEndInsideAnElement) {
  std::string body;
  Writer out(body);
  const auto array = out.beginArray(4);
  out.uint32(1);
  out.byte(9);  // a stray byte inside the array of uint32
  out.endArray(array);
  Reader in(body, false);
  EXPECT_THROW(in.skip("au"), ProtocolError);
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
