// The bus wire format on its own: addresses, names, signatures, and messages through
// encode and decode, including what a hostile or broken peer could send. The tests on a
// real dbus-daemon check the same code against another implementation.
#include <gtest/gtest.h>

#include "platform/linux/dbus/address.hpp"
#include "platform/linux/dbus/marshal.hpp"
#include "platform/linux/dbus/message.hpp"
#include "platform/linux/dbus/names.hpp"
#include "platform/linux/notification_signal.hpp"

namespace quillbeam::platform::dbus {
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
      // At most 32 arrays and 32 structs deep, at most 255 bytes.
      {isSignature,
       {std::string(32, 'a') + "s", std::string(32, '(') + "s" + std::string(32, ')')},
       {std::string(33, 'a') + "s", std::string(33, '(') + "s" + std::string(33, ')'),
        std::string(256, 's')}},
  };
  for (const auto& [check, valid, invalid] : cases) {
    for (const auto& name : valid) EXPECT_TRUE(check(name)) << name;
    for (const auto& name : invalid) EXPECT_FALSE(check(name)) << name;
  }
}

TEST(Signatures, CompleteTypesAreMeasuredAndMalformedOnesRefused) {
  EXPECT_EQ(std::tuple(completeTypeLength("a{sv}s"), completeTypeLength("(sa(ii))"),
                       completeTypeLength("v")),
            std::tuple(5u, 8u, 1u));
  for (std::string_view bad : {"", "{sv}", "a{vs}", "a{s}", "()", "(s", "a", "z", "a{sv"}) {
    EXPECT_EQ(completeTypeLength(bad), 0u) << bad;
  }
}

Message sampleCall() {
  Message call = Message::methodCall("org.example.Peer", "/org/example", "org.example.Iface", "Do");
  call.serial = 7;
  call.signature = "s";
  Writer(call.body).string("text");
  return call;
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
  EXPECT_EQ(decode(bytes).bodyReader().string(), "text") << "whole, it decodes";
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

TEST(Values, NumbersStructuresAndVariantsRoundTripAndShortDataIsRefused) {
  std::string body;
  Writer out(body);
  out.byte(7);
  out.int32(-5);
  out.int64(INT64_MIN);
  out.uint64(UINT64_MAX);
  out.float64(-0.5);
  out.beginStruct();
  out.string("k");
  out.variantType("x");
  out.int64(42);
  const auto dict = out.beginArray(8);
  out.beginStruct();
  out.byte(1);
  out.variantType("(id)");
  out.beginStruct();
  out.int32(3);
  out.float64(1e300);
  out.endArray(dict);
  const std::string_view signature = "yixtd(sv)a{yv}";
  Reader in(body, false);  // braces below: reads in order
  EXPECT_EQ((std::tuple{in.byte(), in.int32(), in.int64(), in.uint64(), in.float64()}),
            std::tuple(7, -5, INT64_MIN, UINT64_MAX, -0.5));
  in.beginStruct();
  EXPECT_EQ((std::tuple{in.string(), in.variantType(), in.int64()}), std::tuple("k", "x", 42));
  const size_t end = in.beginArray(8);
  in.beginStruct();
  EXPECT_EQ((std::tuple{in.byte(), in.variantType()}), std::tuple(1, "(id)"));
  in.beginStruct();
  EXPECT_EQ((std::tuple{in.int32(), in.float64(), in.position()}), std::tuple(3, 1e300, end));
  EXPECT_TRUE(Reader(body, false).holds(signature));
  EXPECT_FALSE(Reader(body + '\0', false).holds(signature)) << "a stray byte after the values";
  EXPECT_FALSE(Reader(body, false).holds("yixtd(sv)a{yv}s"));
  for (size_t length = 0; length < body.size(); ++length) {
    EXPECT_FALSE(Reader(std::string_view(body).substr(0, length), false).holds(signature));
  }
  // The other byte order: -5, then -0.5 at the next multiple of 8.
  Reader big(std::string_view("\xff\xff\xff\xfb\0\0\0\0\xbf\xe0\0\0\0\0\0\0", 16), true);
  EXPECT_EQ((std::tuple{big.int32(), big.float64()}), std::tuple(-5, -0.5));
}

TEST(Text, BecomesValidForTheBusByReplacingWhatIsNot) {
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {std::string("a\0b", 3),
       "a\xef\xbf\xbd"
       "b"},
      {"\xc3", "\xef\xbf\xbd"},
      {"\xed\xa0\x80!", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd!"},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(toValidText(text), valid);
}

TEST(UserInfo, TextOnlySurvivesAndUnencodableEntriesRefuseTheSignal) {
  const auto route = SignalRoute::of("com.quillbeam.companion.command");
  ASSERT_TRUE(route.has_value());
  auto signal = notificationSignal(*route, std::map<std::string, std::string>{{"json", "{}"}});
  ASSERT_TRUE(signal.has_value());
  signal->serial = 1;
  const Message back = decode(encode(*signal));
  EXPECT_EQ(readUserInfo(back), (UserInfo{{"json", "{}"}}));
  EXPECT_NO_THROW(back.bodyReader().skip("a{sv}"));
  for (const std::string& bad : {std::string("a\0b", 3), std::string("\xff")}) {
    EXPECT_FALSE(notificationSignal(*route, std::map<std::string, std::string>{{"json", bad}}));
  }
  EXPECT_FALSE(SignalRoute::of("nodots").has_value());
  EXPECT_FALSE(SignalRoute::of("com.quillbeam.9lives").has_value());
}

}  // namespace
}  // namespace quillbeam::platform::dbus
