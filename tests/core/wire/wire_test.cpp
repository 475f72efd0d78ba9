#include <gtest/gtest.h>

#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam {
namespace {

using namespace NativeMessaging;

std::string bytes(std::initializer_list<int> values) {
  return std::string(values.begin(), values.end());
}

TEST(Framing, TheLittleEndianLengthLeadsAndChunksMayEndAnywhere) {
  EXPECT_EQ(frame(std::string(maxOutgoing, 'x')).substr(0, 4), bytes({0, 0, 0x10, 0}));
  EXPECT_THROW(frame(std::string(maxOutgoing + 1, 'x')), FramingError);
  Decoder d;
  EXPECT_EQ(d.append(frame("hello") + frame("") + frame("ccc") + bytes({9})),
            (std::vector<ByteString>{"hello", "", "ccc"}));
  EXPECT_EQ(d.buffer(), bytes({9}));
  // Byte by byte, onto what the caller holds; with the 9 kept the header reads 9 + 1 * 256.
  std::vector<ByteString> got{"kept"};
  for (char c : bytes({1, 0, 0}) + std::string(265, 'y') + frame("ab")) {
    d.appendTo(std::string_view(&c, 1), got);
  }
  EXPECT_EQ(got, (std::vector<ByteString>{"kept", std::string(265, 'y'), "ab"}));
}

TEST(Decoder, AHeaderOverTheLimitBreaksTheStreamAfterTheFramesBeforeIt) {
  Decoder ok;
  EXPECT_TRUE(ok.append(bytes({0, 0, 0x80, 0})).empty());  // exactly the limit: waits
  EXPECT_FALSE(ok.failure());
  Decoder d;
  EXPECT_EQ(d.append(frame("one") + bytes({1, 0, 0x80, 0}) + "tail"),
            std::vector<ByteString>{"one"});
  EXPECT_EQ(d.failure().value().length(), 8388609);
  EXPECT_THROW(d.append(frame("two")), FramingError);
  Decoder atOnce;
  EXPECT_THROW(atOnce.append(bytes({0xff, 0xff, 0xff, 0xff})), FramingError);
  EXPECT_STREQ(atOnce.failure().value().what(), "tooLarge(4294967295)");
}

using EM = ExtensionMessage;
using HM = HostMessage;

const std::string snapshotJson =
    R"({"id":"s","goal":"g","mode":"timer","strictness":"strict","startedAt":1,)"
    R"("milestonesDone":0,"milestonesTotal":0,"anchors":[],"anchorUrl":""})";

template <class Message>
void expectText(const Message& message, const std::string& text) {
  EXPECT_EQ(message.encode(), text);
  EXPECT_EQ(Message::decode(text), message) << text;
}

TEST(Messages, EveryCaseEncodesToItsTextAndBack) {
  expectText(HM{HM::Hello{1, "dev"}}, R"({"type":"hello","protocol":1,"appVersion":"dev"})");
  expectText(HM{HM::Start{{"Study",
                           {"example.org"},
                           SessionMode::goal,
                           Strictness::lockdown,
                           std::nullopt,
                           {"one"}}}},
             R"({"type":"start","draft":{"goal":"Study","anchors":["example.org"],)"
             R"("mode":"goal","strictness":"lockdown","milestones":["one"]}})");
  expectText(HM{HM::FocusCourse{}}, R"({"type":"focus-course"})");
  expectText(HM{HM::OpenQuit{}}, R"({"type":"open-quit"})");
  expectText(HM{HM::AppBlocked{"Steam"}}, R"({"type":"app-blocked","app":"Steam"})");
  expectText(EM{EM::Hello{1, "3.1"}}, R"({"type":"hello","protocol":1,"extensionVersion":"3.1"})");
  expectText(EM{EM::State{5, std::nullopt}}, R"({"type":"state","sentAt":5,"session":null})");
  expectText(EM{EM::State{5, SessionSnapshot::fromJson(json::parse(snapshotJson))}},
             R"({"type":"state","sentAt":5,"session":)" + snapshotJson + "}");
  expectText(EM{EM::Unknown{"ping"}}, R"({"type":"ping"})");
  // The extension's defaults, nulls, keys we do not know, and types in another case.
  const std::pair<std::string, EM> decoded[] = {
      {R"({"type":"hello"})", {EM::Hello{0, ""}}},
      {R"({"protocol":7,"type":"hello","extensionVersion":"2.0","x":[1]})", {EM::Hello{7, "2.0"}}},
      {R"({"type":"state","session":null,"sentAt":null})", {EM::State{0, std::nullopt}}},
      {R"({"type":"Hello"})", {EM::Unknown{"Hello"}}},
  };
  for (const auto& [text, message] : decoded) EXPECT_EQ(EM::decode(text), message) << text;
}

TEST(Messages, WrongShapesAreRefused) {
  for (const char* text :
       {"{}", R"({"type":1})", "[]", "nope", R"({"type":"hello","protocol":"1"})",
        R"({"type":"state","session":{"id":"x"}})", R"({"type":"state","sentAt":1.5})"}) {
    EXPECT_THROW(EM::decode(text), DecodingError) << text;
  }
  for (const char* text : {"{}", R"({"type":"start","draft":null})", R"({"type":"app-blocked"})",
                           R"({"type":"app-blocked","app":3})", R"({"type":"ping"})"}) {
    EXPECT_THROW(HM::decode(text), DecodingError) << text;
  }
  // A NUL byte does not end a message: every byte given is parsed.
  for (const std::string& tail : {std::string(1, '\0'), std::string("\0{}", 3)}) {
    EXPECT_THROW(EM::decode(R"({"type":"hello"})" + tail), DecodingError);
    EXPECT_THROW(HM::decode(R"({"type":"open-quit"})" + tail), DecodingError);
  }
}

TEST(NativeHostManifest, TextIsSortedPrettyUtf8AndReadsBackStrictly) {
  const NativeHostManifest m("/home/a user/quillbeam bridge", {"x", "y"});
  EXPECT_EQ(m.json(), R"({
  "allowed_origins": [
    "chrome-extension://x/",
    "chrome-extension://y/"
  ],
  "description": "Quillbeam for Mac — keeps desktop apps in sync with your focus session",
  "name": "com.quillbeam.companion",
  "path": "/home/a user/quillbeam bridge",
  "type": "stdio"
})");
  EXPECT_EQ(NativeHostManifest::fromJson(json::parse(m.json())), m);
  EXPECT_THROW(NativeHostManifest("/\xFF", {"x"}).json(), nlohmann::json::type_error);
  // Every key is needed, with its type.
  for (const char* key :
       {"/name", "/description", "/path", "/type", "/allowed_origins", "/allowed_origins/0"}) {
    json::Value changed = json::parse(m.json());
    changed[json::Value::json_pointer(key)] = 7;
    EXPECT_THROW(NativeHostManifest::fromJson(changed), DecodingError) << key;
  }
}

}  // namespace
}  // namespace quillbeam
