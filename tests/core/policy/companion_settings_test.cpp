#include "quillbeam/policy/companion_settings.hpp"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillbeam {
namespace {

using ::testing::ElementsAre;

TEST(CompanionSettings, DefaultsHoldTheTwentyNineEntryBlockedList) {
  const CompanionSettings& d = CompanionSettings::defaults();
  EXPECT_EQ(d, CompanionSettings("com.google.Chrome", true, true,
                                 CompanionSettings::defaultBlockedApps(), false));
  const auto& list = d.blockedApps;
  ASSERT_EQ(list.size(), 29u);
  EXPECT_EQ(list[0], (BlockedApp{"Discord", "com.hnc.Discord"}));
  EXPECT_EQ(list[2], (BlockedApp{"Discord", "com.hnc.DiscordCanary"}));
  EXPECT_EQ(list[28], (BlockedApp{"Instagram", "com.burbn.instagram"}));
  std::vector<std::string> names;
  for (const BlockedApp& app : list) {
    if (names.empty() || names.back() != app.name) names.push_back(app.name);
  }
  EXPECT_THAT(names, ElementsAre("Discord", "WhatsApp", "Telegram", "Messenger", "Steam",
                                 "Epic Games Launcher", "Battle.net", "Riot Client", "Minecraft",
                                 "Roblox", "Chess", "Apple TV", "Netflix", "Prime Video", "Disney+",
                                 "News", "Reddit", "X", "Instagram"));
}

TEST(CompanionSettings, AbsentBlockedListMeansDefaultsAndEmptyStaysEmpty) {
  EXPECT_EQ(CompanionSettings("x", false, false, std::nullopt, true).blockedApps.size(), 29u);
  CompanionSettings empty("x", false, false, std::vector<BlockedApp>{}, true);
  EXPECT_TRUE(empty.blockedApps.empty());
  EXPECT_FALSE(empty.isBlocked("com.hnc.Discord"));
}

TEST(CompanionSettings, IsBlockedMatchesTheBundleIdExactly) {
  const CompanionSettings& d = CompanionSettings::defaults();
  EXPECT_TRUE(d.isBlocked("com.valvesoftware.steam"));
  EXPECT_TRUE(d.isBlocked("com.twitter.twitter-mac"));
  EXPECT_FALSE(d.isBlocked("com.apple.MobileSMS"));
  EXPECT_FALSE(d.isBlocked("com.hnc.discord"));
  EXPECT_FALSE(d.isBlocked("Discord"));  // names play no part
}

TEST(CompanionSettings, StudyBrowserIdsAreTheCatalogFamily) {
  auto ids = [](std::string study) {
    CompanionSettings s = CompanionSettings::defaults();
    s.studyBrowser = std::move(study);
    return s.studyBrowserIDs();
  };
  EXPECT_THAT(ids("com.google.Chrome.canary"),
              ElementsAre("com.google.Chrome", "com.google.Chrome.beta", "com.google.Chrome.dev",
                          "com.google.Chrome.canary"));
  EXPECT_THAT(ids("company.thebrowser.Browser"), ElementsAre("company.thebrowser.Browser"));
  EXPECT_THAT(ids("com.google.chrome"), ElementsAre("com.google.chrome"));
  EXPECT_THAT(ids(""), ElementsAre(""));
}

TEST(CompanionSettings, JsonRoundTripsInKeyOrder) {
  const CompanionSettings& d = CompanionSettings::defaults();
  const std::string text = json::compact(d.toJson());
  EXPECT_TRUE(text.starts_with(
      R"({"studyBrowser":"com.google.Chrome","blockOtherBrowsers":true,"guardExtension":true,)"
      R"("blockedApps":[{"name":"Discord","bundleID":"com.hnc.Discord"},)"))
      << text;
  EXPECT_TRUE(text.ends_with(R"(}],"onboarded":false})")) << text;
  EXPECT_EQ(CompanionSettings::fromJson(json::parse(text)), d);
}

TEST(CompanionSettings, DecodingRequiresEveryKey) {
  const json::Value good = json::parse(
      R"({"onboarded":true,"blockedApps":[{"bundleID":"b","name":"n","x":0}],)"
      R"("guardExtension":false,"blockOtherBrowsers":true,"studyBrowser":"s","unknown":[]})");
  EXPECT_EQ(CompanionSettings::fromJson(good),
            CompanionSettings("s", true, false, std::vector<BlockedApp>{{"n", "b"}}, true));
  for (const char* key :
       {"studyBrowser", "blockOtherBrowsers", "guardExtension", "blockedApps", "onboarded"}) {
    json::Value missing = good;
    missing.erase(key);
    EXPECT_THROW(CompanionSettings::fromJson(missing), DecodingError) << key;
  }
  json::Value badEntry = good;
  badEntry["blockedApps"][0].erase("name");
  EXPECT_THROW(CompanionSettings::fromJson(badEntry), DecodingError);
  json::Value stringBool = good;
  stringBool["onboarded"] = "true";
  EXPECT_THROW(CompanionSettings::fromJson(stringBool), DecodingError);
}

TEST(CompanionSettings, ConcurrentFirstUseOfDefaultsBuildsOneValue) {
  // ctest runs every test in a process of its own, so there this is the first use.
  std::vector<std::pair<const CompanionSettings*, size_t>> seen(8);
  {
    std::vector<std::jthread> workers;
    for (auto& slot : seen) {
      workers.emplace_back([&slot] {
        const CompanionSettings& d = CompanionSettings::defaults();
        slot = {&d, d.blockedApps.size()};
      });
    }
  }
  for (const auto& [settings, size] : seen) {
    EXPECT_EQ(settings, &CompanionSettings::defaults());
    EXPECT_EQ(size, 29u);
  }
}

}  // namespace
}  // namespace quillbeam
