#include "quillbeam/wire/native_host_manifest.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillbeam/wire/companion_protocol.hpp"

namespace quillbeam {
namespace {

TEST(NativeHostManifest, ConstructorFillsTheBridgeValues) {
  NativeHostManifest m("/opt/quillbeam/quillbeam_bridge", CompanionProtocol::extensionIDs);
  EXPECT_EQ(m.name, "com.quillbeam.companion");
  EXPECT_EQ(m.description,
            "Quillbeam for Mac \xE2\x80\x94 keeps desktop apps in sync with your focus session");
  EXPECT_EQ(m.description.size(), 72u);
  EXPECT_EQ(m.path, "/opt/quillbeam/quillbeam_bridge");
  EXPECT_EQ(m.type, "stdio");
  EXPECT_EQ(m.allowedOrigins,
            std::vector<std::string>{"chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/"});
}

TEST(NativeHostManifest, OriginsKeepOrderAndDuplicates) {
  EXPECT_EQ(NativeHostManifest("/b", {"one", "two"}).allowedOrigins,
            (std::vector<std::string>{"chrome-extension://one/", "chrome-extension://two/"}));
  std::vector<std::string> twice{"same", "same"};
  EXPECT_EQ(NativeHostManifest("/b", twice).allowedOrigins,
            (std::vector<std::string>{"chrome-extension://same/", "chrome-extension://same/"}));
  EXPECT_TRUE(NativeHostManifest("/b", std::vector<std::string>{}).allowedOrigins.empty());
}

TEST(NativeHostManifest, JsonSortsKeysAndLeavesSlashesAndDashAlone) {
  NativeHostManifest m("/home/a user/My Apps/quillbeam bridge", {"x", "y"});
  const std::string text = m.json();

  EXPECT_EQ(text.find("\\/"), std::string::npos);
  EXPECT_NE(text.find("\"/home/a user/My Apps/quillbeam bridge\""), std::string::npos);
  EXPECT_NE(text.find("\xE2\x80\x94"), std::string::npos) << "em dash written as UTF-8";

  std::vector<size_t> at;
  for (const char* key : {"allowed_origins", "description", "name", "path", "type"}) {
    at.push_back(text.find(std::string("\"") + key + "\":"));
    ASSERT_NE(at.back(), std::string::npos) << key;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
  EXPECT_LT(text.find("chrome-extension://x/"), text.find("chrome-extension://y/"));
  // Pretty printed: one entry per line, indented.
  EXPECT_NE(text.find("\n  \"description\""), std::string::npos);
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text.back(), '}');
}

TEST(NativeHostManifest, EmptyOriginsAreAnEmptyList) {
  json::Value v = json::parse(NativeHostManifest("/b", std::vector<std::string>{}).json());
  ASSERT_TRUE(v["allowed_origins"].is_array());
  EXPECT_TRUE(v["allowed_origins"].empty());
}

TEST(NativeHostManifest, EncodingWritesDeclarationOrder) {
  json::Ordered j = NativeHostManifest("/b", {"x"}).toJson();
  std::vector<std::string> keys;
  for (const auto& [key, value] : j.items()) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"name", "description", "path", "type", "allowed_origins"}));
}

TEST(NativeHostManifest, JsonRoundTrips) {
  NativeHostManifest m("/usr/lib/quillbeam/bridge", {"abc", "def"});
  EXPECT_EQ(NativeHostManifest::fromJson(json::parse(m.json())), m);
}

TEST(NativeHostManifest, DecodingRequiresEveryKeyWithItsType) {
  const json::Value full = json::parse(NativeHostManifest("/b", {"x"}).json());
  for (const char* key : {"name", "description", "path", "type", "allowed_origins"}) {
    json::Value missing = full;
    missing.erase(key);
    EXPECT_THROW(NativeHostManifest::fromJson(missing), DecodingError) << key;
    json::Value null = full;
    null[key] = nullptr;
    EXPECT_THROW(NativeHostManifest::fromJson(null), DecodingError) << key;
    json::Value wrong = full;
    wrong[key] = 7;
    EXPECT_THROW(NativeHostManifest::fromJson(wrong), DecodingError) << key;
  }
  json::Value numbers = full;
  numbers["allowed_origins"] = {1, 2};
  EXPECT_THROW(NativeHostManifest::fromJson(numbers), DecodingError);
}

TEST(NativeHostManifest, InvalidUtf8InThePathIsRefusedNotMangled) {
  NativeHostManifest m(std::string("/opt/\xFF/bridge"), {"x"});
  EXPECT_THROW(m.json(), nlohmann::json::type_error);
}

}  // namespace
}  // namespace quillbeam
