#include "quillbeam/policy/companion_settings.hpp"

#include <gtest/gtest.h>

#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam {
namespace {

TEST(CompanionSettings, BlockingAndStudyBrowsersMatchBundleIdsExactly) {
  CompanionSettings s = CompanionSettings::defaults();
  EXPECT_TRUE(s.isBlocked("com.valvesoftware.steam"));
  EXPECT_FALSE(s.isBlocked("com.apple.MobileSMS"));  // in the catalog, not blocked by default
  EXPECT_FALSE(s.isBlocked("com.hnc.discord"));
  EXPECT_EQ(CompanionSettings("x", 0, 0, std::nullopt, 0).blockedApps, s.blockedApps);
  EXPECT_TRUE(CompanionSettings("x", 0, 0, std::vector<BlockedApp>{}, 0).blockedApps.empty());
  s.studyBrowser = "com.google.Chrome.dev";
  EXPECT_EQ(s.studyBrowserIDs(), AppCatalog::browser("com.google.Chrome")->bundleIDs);
  s.studyBrowser = "com.google.chrome";
  EXPECT_EQ(s.studyBrowserIDs(), std::vector<std::string>{"com.google.chrome"});
  EXPECT_EQ(AppCatalog::browser("com.operasoftware.OperaGX")->name, "Opera");
  for (const char* id : {"com.google.chrome", "com.google.Chrome ", "com.hnc.Discord", ""}) {
    EXPECT_EQ(AppCatalog::browser(id), nullptr) << id;
  }
}

TEST(CompanionSettings, JsonKeepsKeyOrderAndNeedsEveryKey) {
  const std::string text =
      R"({"studyBrowser":"s","blockOtherBrowsers":true,"guardExtension":false,)"
      R"("blockedApps":[{"name":"n","bundleID":"b"}],"onboarded":true})";
  const CompanionSettings settings = CompanionSettings::fromJson(json::parse(text));
  EXPECT_EQ(settings, CompanionSettings("s", true, false, std::vector<BlockedApp>{{"n", "b"}}, 1));
  EXPECT_EQ(json::compact(settings.toJson()), text);
  for (const char* key :
       {"studyBrowser", "blockOtherBrowsers", "guardExtension", "blockedApps", "onboarded"}) {
    json::Value missing = json::parse(text);
    missing.erase(key);
    EXPECT_THROW(CompanionSettings::fromJson(missing), DecodingError) << key;
  }
  json::Value nameless = json::parse(text);
  nameless["blockedApps"][0].erase("name");
  EXPECT_THROW(CompanionSettings::fromJson(nameless), DecodingError);
}

TEST(KnownApp, JsonRoundTripsStrictlyAndTheIdFallsBackToTheName) {
  for (const KnownApp& app : AppCatalog::distractions()) {
    EXPECT_EQ(KnownApp::fromJson(json::parse(json::compact(app.toJson()))), app) << app.name;
  }
  json::Value j =
      json::parse(R"({"name":"N","bundleIDs":[],"category":"games","blockedByDefault":false})");
  EXPECT_EQ(KnownApp::fromJson(j), (KnownApp{"N", {}, KnownApp::Category::games, false}));
  EXPECT_EQ(KnownApp::fromJson(j).id(), "N");
  j["category"] = "Games";
  EXPECT_THROW(KnownApp::fromJson(j), DecodingError);
}

}  // namespace
}  // namespace quillbeam
