#include <gtest/gtest.h>

#include "quillbeam/wire/companion_protocol.hpp"
#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"

namespace quillbeam {
namespace {

const char* const snapshotJson =
    R"({"id":"s","goal":"g","mode":"timer","strictness":"strict","startedAt":1,)"
    R"("milestonesDone":0,"milestonesTotal":0,"anchors":[],"anchorUrl":""})";

std::vector<std::string> keysOf(const json::Ordered& j) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.push_back(k);
  return keys;
}

TEST(ExtensionMessageDecode, HelloDefaultsAndStrictTypes) {
  using Hello = ExtensionMessage::Hello;
  EXPECT_EQ(ExtensionMessage::decode(R"({"type":"hello"})").value,
            decltype(ExtensionMessage::value)(Hello{0, ""}));
  EXPECT_EQ(ExtensionMessage::decode(R"({"type":"hello","protocol":null,"extensionVersion":"2.0"})")
                .value,
            decltype(ExtensionMessage::value)(Hello{0, "2.0"}));
  EXPECT_EQ(ExtensionMessage::decode(R"({"protocol":7,"type":"hello","x":[1]})").value,
            decltype(ExtensionMessage::value)(Hello{7, ""}));
  EXPECT_THROW(ExtensionMessage::decode(R"({"type":"hello","protocol":"1"})"), DecodingError);
  EXPECT_THROW(ExtensionMessage::decode(R"({"type":"hello","extensionVersion":1})"), DecodingError);
}

TEST(ExtensionMessageDecode, StateWithAndWithoutSession) {
  auto bare = ExtensionMessage::decode(R"({"type":"state"})");
  EXPECT_EQ(bare, (ExtensionMessage{ExtensionMessage::State{0, std::nullopt}}));
  EXPECT_EQ(ExtensionMessage::decode(R"({"type":"state","session":null,"sentAt":null})"), bare);
  auto full = ExtensionMessage::decode(std::string(R"({"type":"state","sentAt":99,"session":)") +
                                       snapshotJson + "}");
  const auto& state = std::get<ExtensionMessage::State>(full.value);
  EXPECT_EQ(state.sentAt, 99);
  ASSERT_TRUE(state.session);
  EXPECT_EQ(state.session->id, "s");
  EXPECT_THROW(ExtensionMessage::decode(R"({"type":"state","session":{"id":"x"}})"), DecodingError);
  EXPECT_THROW(ExtensionMessage::decode(R"({"type":"state","sentAt":1.5})"), DecodingError);
}

TEST(ExtensionMessageDecode, TypeIsRequiredAndComparedExactly) {
  EXPECT_EQ(ExtensionMessage::decode(R"({"type":"Hello"})"),
            (ExtensionMessage{ExtensionMessage::Unknown{"Hello"}}));
  EXPECT_EQ(ExtensionMessage::decode(R"({"type":" state"})"),
            (ExtensionMessage{ExtensionMessage::Unknown{" state"}}));
  for (const char* text : {"{}", R"({"type":null})", R"({"type":1})", "[]", "nope", ""}) {
    EXPECT_THROW(ExtensionMessage::decode(text), DecodingError) << text;
    EXPECT_THROW(HostMessage::decode(text), DecodingError) << text;
  }
}

TEST(ExtensionMessageEncode, KeysAndRoundTrip) {
  ExtensionMessage state{ExtensionMessage::State{5, std::nullopt}};
  EXPECT_EQ(state.encode(), R"({"type":"state","sentAt":5,"session":null})");
  EXPECT_EQ(ExtensionMessage::decode(state.encode()), state);
  ExtensionMessage unknown{ExtensionMessage::Unknown{"ping"}};
  EXPECT_EQ(unknown.encode(), R"({"type":"ping"})");
  ExtensionMessage hello{ExtensionMessage::Hello{1, "3.1"}};
  EXPECT_EQ(keysOf(hello.toJson()),
            (std::vector<std::string>{"type", "protocol", "extensionVersion"}));
  EXPECT_EQ(ExtensionMessage::decode(hello.encode()), hello);
  const ExtensionMessage withSession{
      ExtensionMessage::State{1, SessionSnapshot::fromJson(json::parse(snapshotJson))}};
  EXPECT_EQ(ExtensionMessage::decode(withSession.encode()), (withSession));
}

TEST(HostMessageDecode, RequiredFieldsAndUnknownTypes) {
  EXPECT_THROW(HostMessage::decode(R"({"type":"start"})"), DecodingError);
  EXPECT_THROW(HostMessage::decode(R"({"type":"start","draft":null})"), DecodingError);
  EXPECT_THROW(HostMessage::decode(R"({"type":"app-blocked"})"), DecodingError);
  EXPECT_THROW(HostMessage::decode(R"({"type":"app-blocked","app":3})"), DecodingError);
  EXPECT_EQ(HostMessage::decode(R"({"type":"focus-course","extra":{"a":1}})"),
            (HostMessage{HostMessage::FocusCourse{}}));
  EXPECT_EQ(HostMessage::decode(R"({"type":"hello"})"), (HostMessage{HostMessage::Hello{0, ""}}));
  try {
    HostMessage::decode(R"({"type":"ping"})");
    FAIL();
  } catch (const DecodingError& e) {
    EXPECT_STREQ(e.what(), "Unknown host message type ping");
  }
  EXPECT_THROW(HostMessage::decode(R"({"type":"Open-Quit"})"), DecodingError);
}

TEST(HostMessageEncode, EveryCaseRoundTripsWithItsKeys) {
  SessionDraft draft{"Study",      {"example.org"}, SessionMode::goal, Strictness::lockdown,
                     std::nullopt, {"one", "two"}};
  const std::pair<HostMessage, std::vector<std::string>> cases[] = {
      {HostMessage{HostMessage::Hello{1, "dev"}}, {"type", "protocol", "appVersion"}},
      {HostMessage{HostMessage::Start{draft}}, {"type", "draft"}},
      {HostMessage{HostMessage::FocusCourse{}}, {"type"}},
      {HostMessage{HostMessage::OpenQuit{}}, {"type"}},
      {HostMessage{HostMessage::AppBlocked{"Steam"}}, {"type", "app"}},
  };
  for (const auto& [message, keys] : cases) {
    EXPECT_EQ(keysOf(message.toJson()), keys);
    EXPECT_EQ(HostMessage::decode(message.encode()), message) << message.encode();
  }
  EXPECT_EQ((HostMessage{HostMessage::OpenQuit{}}.encode()), R"({"type":"open-quit"})");
  EXPECT_EQ((HostMessage{HostMessage::FocusCourse{}}.encode()), R"({"type":"focus-course"})");
  EXPECT_EQ((HostMessage{HostMessage::Hello{1, "dev"}}.encode()),
            R"({"type":"hello","protocol":1,"appVersion":"dev"})");
}

TEST(CompanionProtocol, Constants) {
  EXPECT_EQ(CompanionProtocol::version, 1);
  EXPECT_EQ(CompanionProtocol::hostName, "com.quillbeam.companion");
  ASSERT_EQ(CompanionProtocol::extensionIDs.size(), 1u);
  EXPECT_EQ(CompanionProtocol::extensionIDs[0], "anaamofdcieamnmnkhkdbgikgmcpncak");
}

}  // namespace
}  // namespace quillbeam
