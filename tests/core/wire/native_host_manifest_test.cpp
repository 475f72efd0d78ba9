#include "quillbeam/wire/native_host_manifest.hpp"

#include <gtest/gtest.h>

#include "quillbeam/wire/companion_protocol.hpp"

namespace quillbeam {
namespace {

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
  EXPECT_EQ(NativeHostManifest("/b", CompanionProtocol::extensionIDs).allowedOrigins,
            std::vector<std::string>{"chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/"});
  EXPECT_THROW(NativeHostManifest("/\xFF", {"x"}).json(), nlohmann::json::type_error);
}

TEST(NativeHostManifest, DecodingRequiresEveryKeyWithItsType) {
  const json::Value full = json::parse(NativeHostManifest("/b", {"x"}).json());
  for (const char* key : {"name", "description", "path", "type", "allowed_origins"}) {
    for (const json::Value& bad : {json::Value(), json::Value(7), json::Value({1})}) {
      json::Value changed = full;
      changed[key] = bad;
      EXPECT_THROW(NativeHostManifest::fromJson(changed), DecodingError) << key << bad;
    }
    json::Value missing = full;
    missing.erase(key);
    EXPECT_THROW(NativeHostManifest::fromJson(missing), DecodingError) << key;
  }
}

}  // namespace
}  // namespace quillbeam
