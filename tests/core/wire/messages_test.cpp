#include <gtest/gtest.h>

#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"

namespace quillbeam {
namespace {

using EM = ExtensionMessage;
using HM = HostMessage;

const std::string snapshotJson =
    R"({"id":"s","goal":"g","mode":"timer","strictness":"strict","startedAt":1,)"
    R"("milestonesDone":0,"milestonesTotal":0,"anchors":[],"anchorUrl":""})";

TEST(ExtensionMessage, DecodesDefaultsNullsAndUnknownTypes) {
  const std::pair<std::string, EM> rows[] = {
      {R"({"type":"hello"})", {EM::Hello{0, ""}}},
      {R"({"protocol":7,"type":"hello","extensionVersion":"2.0","x":[1]})", {EM::Hello{7, "2.0"}}},
      {R"({"type":"hello","protocol":null})", {EM::Hello{0, ""}}},
      {R"({"type":"state","session":null,"sentAt":null})", {EM::State{0, std::nullopt}}},
      {R"({"type":"state","sentAt":9,"session":)" + snapshotJson + "}",
       {EM::State{9, SessionSnapshot::fromJson(json::parse(snapshotJson))}}},
      {R"({"type":"Hello"})", {EM::Unknown{"Hello"}}},
  };
  for (const auto& [text, message] : rows) EXPECT_EQ(EM::decode(text), message) << text;
}

TEST(Messages, WrongShapesAreRefused) {
  for (const char* text :
       {"{}", R"({"type":null})", R"({"type":1})", "[]", "nope",
        R"({"type":"hello","protocol":"1"})", R"({"type":"state","session":{"id":"x"}})",
        R"({"type":"state","sentAt":1.5})"}) {
    EXPECT_THROW(EM::decode(text), DecodingError) << text;
  }
  for (const char* text :
       {"{}", R"({"type":"start","draft":null})", R"({"type":"app-blocked"})",
        R"({"type":"app-blocked","app":3})", R"({"type":"ping"})", R"({"type":"Open-Quit"})"}) {
    EXPECT_THROW(HM::decode(text), DecodingError) << text;
  }
}

TEST(Messages, EveryCaseEncodesToItsTextAndBack) {
  const SessionDraft draft{"Study",      {"example.org"}, SessionMode::goal, Strictness::lockdown,
                           std::nullopt, {"one"}};
  const std::pair<HM, std::string> host[] = {
      {{HM::Hello{1, "dev"}}, R"({"type":"hello","protocol":1,"appVersion":"dev"})"},
      {{HM::Start{draft}},
       R"({"type":"start","draft":{"goal":"Study","anchors":["example.org"],)"
       R"("mode":"goal","strictness":"lockdown","milestones":["one"]}})"},
      {{HM::FocusCourse{}}, R"({"type":"focus-course"})"},
      {{HM::OpenQuit{}}, R"({"type":"open-quit"})"},
      {{HM::AppBlocked{"Steam"}}, R"({"type":"app-blocked","app":"Steam"})"},
  };
  for (const auto& [message, text] : host) {
    EXPECT_EQ(message.encode(), text);
    EXPECT_EQ(HM::decode(text), message) << text;
  }
  const std::pair<EM, std::string> extension[] = {
      {{EM::Hello{1, "3.1"}}, R"({"type":"hello","protocol":1,"extensionVersion":"3.1"})"},
      {{EM::State{5, std::nullopt}}, R"({"type":"state","sentAt":5,"session":null})"},
      {{EM::State{5, SessionSnapshot::fromJson(json::parse(snapshotJson))}},
       R"({"type":"state","sentAt":5,"session":)" + snapshotJson + "}"},
      {{EM::Unknown{"ping"}}, R"({"type":"ping"})"},
  };
  for (const auto& [message, text] : extension) {
    EXPECT_EQ(message.encode(), text);
    EXPECT_EQ(EM::decode(text), message) << text;
  }
}

TEST(NativeHostManifest, TextIsSortedPrettyUtf8AndReadsBack) {
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
}

TEST(NativeHostManifest, DecodingRequiresEveryKeyWithItsType) {  // null stands for missing
  const json::Value full = json::parse(NativeHostManifest("/b", {"x"}).json());
  for (const char* key : {"name", "description", "path", "type", "allowed_origins"}) {
    for (const json::Value& bad : {json::Value(), json::Value(7), json::Value({1})}) {
      json::Value changed = full;
      changed[key] = bad;
      EXPECT_THROW(NativeHostManifest::fromJson(changed), DecodingError) << key << bad;
    }
  }
}

}  // namespace
}  // namespace quillbeam
