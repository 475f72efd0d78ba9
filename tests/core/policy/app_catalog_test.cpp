#include "quillbeam/policy/app_catalog.hpp"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillbeam {
namespace {

using ::testing::ElementsAre;
using C = KnownApp::Category;

std::vector<std::string> namesOf(const std::vector<KnownApp>& apps) {
  std::vector<std::string> names;
  for (const KnownApp& app : apps) names.push_back(app.name);
  return names;
}

TEST(KnownAppCategory, CasesRawValuesAndTitlesInOrder) {
  std::vector<std::string> raws, titles;
  for (C c : KnownApp::Categories::allCases) {
    raws.emplace_back(rawValue(c));
    titles.emplace_back(title(c));
    EXPECT_EQ(KnownApp::categoryFromRaw(rawValue(c)), c);
  }
  EXPECT_THAT(raws, ElementsAre("browser", "chat", "games", "video", "music", "social", "other"));
  EXPECT_THAT(titles, ElementsAre("Browsers", "Chat & messaging", "Games", "Video & streaming",
                                  "Music & podcasts", "Social & news", "Other"));
  EXPECT_EQ(KnownApp::categoryFromRaw("Games"), std::nullopt);
}

TEST(KnownApp, JsonRoundTripsAndIdFallsBackToName) {
  for (const auto* table : {&AppCatalog::browsers(), &AppCatalog::distractions()}) {
    for (const KnownApp& app : *table) {
      EXPECT_EQ(KnownApp::fromJson(json::parse(json::compact(app.toJson()))), app) << app.name;
    }
  }
  EXPECT_EQ(json::compact(AppCatalog::distractions()[7].toJson()),
            R"({"name":"Steam","bundleIDs":["com.valvesoftware.steam"],"category":"games",)"
            R"("blockedByDefault":true})");
  const KnownApp bare =
      KnownApp::fromJson(json::parse(R"({"blockedByDefault":false,"category":"games",)"
                                     R"("bundleIDs":[],"name":"N","extra":1})"));
  EXPECT_EQ(bare, (KnownApp{"N", {}, C::games, false}));
  EXPECT_EQ(bare.id(), "N");
  EXPECT_EQ(AppCatalog::browsers()[0].id(), "com.google.Chrome");
}

TEST(KnownApp, DecodingIsStrict) {
  const json::Value good = AppCatalog::browsers()[0].toJson();
  for (const char* key : {"name", "bundleIDs", "category", "blockedByDefault"}) {
    json::Value missing = good;
    missing.erase(key);
    EXPECT_THROW(KnownApp::fromJson(missing), DecodingError) << key;
  }
  json::Value titled = good;
  titled["category"] = "Browsers";
  EXPECT_THROW(KnownApp::fromJson(titled), DecodingError);
  json::Value numeric = good;
  numeric["blockedByDefault"] = 0;
  EXPECT_THROW(KnownApp::fromJson(numeric), DecodingError);
}

TEST(AppCatalog, TablesHoldTheirRows) {
  const auto& browsers = AppCatalog::browsers();
  EXPECT_THAT(namesOf(browsers), ElementsAre("Google Chrome", "Safari", "Firefox", "Arc", "Brave",
                                             "Microsoft Edge", "Opera", "Vivaldi", "Chromium",
                                             "Orion", "Zen", "DuckDuckGo", "Tor Browser"));
  EXPECT_THAT(browsers[0].bundleIDs,
              ElementsAre("com.google.Chrome", "com.google.Chrome.beta", "com.google.Chrome.dev",
                          "com.google.Chrome.canary"));
  EXPECT_THAT(
      namesOf(AppCatalog::extensionBrowsers()),
      ElementsAre("Google Chrome", "Arc", "Brave", "Microsoft Edge", "Vivaldi", "Chromium"));

  const auto& distractions = AppCatalog::distractions();
  ASSERT_EQ(distractions.size(), 27u);
  std::vector<std::string> open;
  size_t ids = 0;
  for (const KnownApp& app : distractions) {
    if (!app.blockedByDefault) open.push_back(app.name);
    ids += app.bundleIDs.size();
  }
  EXPECT_EQ(ids, 37u);
  EXPECT_THAT(open, ElementsAre("Messages", "Signal", "Slack", "VLC", "IINA", "Spotify", "Music",
                                "Podcasts"));
  EXPECT_EQ(distractions[10], (KnownApp{"Riot Client",
                                        {"com.riotgames.RiotGames.RiotClient",
                                         "com.riotgames.LeagueofLegends.LeagueClient"},
                                        C::games,
                                        true}));

  EXPECT_THAT(
      AppCatalog::exempt(),
      ::testing::UnorderedElementsAre("com.quillbeam.mac", "com.apple.finder", "com.apple.dock",
                                      "com.apple.loginwindow", "com.apple.systemuiserver",
                                      "com.apple.controlcenter", "com.apple.notificationcenterui",
                                      "com.apple.Spotlight", "com.apple.SecurityAgent",
                                      "com.apple.systempreferences", "com.apple.ActivityMonitor"));
}

TEST(AppCatalog, BrowserLookupIsExactAndCaseSensitive) {
  const std::pair<const char*, const char*> rows[] = {
      // bundle ID, browser name
      {"com.apple.SafariTechnologyPreview", "Safari"},
      {"com.operasoftware.OperaGX", "Opera"},
      {"org.torproject.torbrowser", "Tor Browser"},
      {"com.google.chrome", nullptr},
      {"com.google.Chrome ", nullptr},
      {"com.google", nullptr},
      {"com.hnc.Discord", nullptr},
      {"com.apple.finder", nullptr},
      {"", nullptr},
  };
  for (const auto& [bundleID, expected] : rows) {
    const KnownApp* found = AppCatalog::browser(bundleID);
    EXPECT_EQ(found ? found->name : "(none)", expected ? expected : "(none)") << bundleID;
  }
}

TEST(AppCatalog, ConcurrentFirstUseSeesOneFinishedTable) {
  // ctest runs every test in a process of its own, so there this is the tables' first use.
  std::vector<std::pair<const void*, size_t>> seen(8);
  {
    std::vector<std::jthread> workers;
    for (auto& slot : seen) {
      workers.emplace_back([&slot] {
        const auto& table = AppCatalog::extensionBrowsers();
        slot = {&table, table.size() + AppCatalog::exempt().size()};
      });
    }
  }
  for (const auto& [table, size] : seen) {
    EXPECT_EQ(table, &AppCatalog::extensionBrowsers());
    EXPECT_EQ(size, 6u + 11u);
  }
}

}  // namespace
}  // namespace quillbeam
