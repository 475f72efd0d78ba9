#include "quillbeam/policy/app_catalog.hpp"

#include <algorithm>
#include <array>

namespace quillbeam::AppCatalog {
namespace {

using C = KnownApp::Category;

KnownApp browserRow(std::string name, std::vector<std::string> bundleIDs) {
  return KnownApp{std::move(name), std::move(bundleIDs), C::browser, false};
}

}  // namespace

const std::vector<KnownApp>& browsers() {
  static const std::vector<KnownApp> table{
      browserRow("Google Chrome", {"com.google.Chrome", "com.google.Chrome.beta",
                                   "com.google.Chrome.dev", "com.google.Chrome.canary"}),
      browserRow("Safari", {"com.apple.Safari", "com.apple.SafariTechnologyPreview"}),
      browserRow("Firefox", {"org.mozilla.firefox", "org.mozilla.firefoxdeveloperedition",
                             "org.mozilla.nightly"}),
      browserRow("Arc", {"company.thebrowser.Browser"}),
      browserRow("Brave",
                 {"com.brave.Browser", "com.brave.Browser.beta", "com.brave.Browser.nightly"}),
      browserRow("Microsoft Edge", {"com.microsoft.edgemac", "com.microsoft.edgemac.Beta",
                                    "com.microsoft.edgemac.Dev"}),
      browserRow("Opera", {"com.operasoftware.Opera", "com.operasoftware.OperaGX"}),
      browserRow("Vivaldi", {"com.vivaldi.Vivaldi"}),
      browserRow("Chromium", {"org.chromium.Chromium"}),
      browserRow("Orion", {"com.kagi.kagimacOS"}),
      browserRow("Zen", {"app.zen-browser.zen"}),
      browserRow("DuckDuckGo", {"com.duckduckgo.macos.browser"}),
      browserRow("Tor Browser", {"org.torproject.torbrowser"}),
  };
  return table;
}

const std::vector<KnownApp>& extensionBrowsers() {
  static const std::vector<KnownApp> table = [] {
    constexpr std::array<std::string_view, 6> names{"Google Chrome",  "Arc",     "Brave",
                                                    "Microsoft Edge", "Vivaldi", "Chromium"};
    std::vector<KnownApp> rows;
    for (const KnownApp& app : browsers()) {
      if (std::find(names.begin(), names.end(), app.name) != names.end()) rows.push_back(app);
    }
    return rows;
  }();
  return table;
}

const std::vector<KnownApp>& distractions() {
  static const std::vector<KnownApp> table{
      {"Discord",
       {"com.hnc.Discord", "com.hnc.DiscordPTB", "com.hnc.DiscordCanary"},
       C::chat,
       true},
      {"WhatsApp", {"net.whatsapp.WhatsApp", "desktop.WhatsApp"}, C::chat, true},
      {"Telegram", {"ru.keepcoder.Telegram", "org.telegram.desktop"}, C::chat, true},
      {"Messages", {"com.apple.MobileSMS"}, C::chat, false},
      {"Messenger", {"com.facebook.archon", "com.facebook.archon.developerID"}, C::chat, true},
      {"Signal", {"org.whispersystems.signal-desktop"}, C::chat, false},
      {"Slack", {"com.tinyspeck.slackmacgap"}, C::chat, false},
      {"Steam", {"com.valvesoftware.steam"}, C::games, true},
      {"Epic Games Launcher", {"com.epicgames.EpicGamesLauncher"}, C::games, true},
      {"Battle.net", {"net.battle.app", "com.blizzard.bnetlauncher"}, C::games, true},
      {"Riot Client",
       {"com.riotgames.RiotGames.RiotClient", "com.riotgames.LeagueofLegends.LeagueClient"},
       C::games,
       true},
      {"Minecraft", {"com.mojang.minecraftlauncher", "com.mojang.minecraftpe"}, C::games, true},
      {"Roblox", {"com.roblox.RobloxPlayer", "com.roblox.RobloxStudio"}, C::games, true},
      {"Chess", {"com.apple.Chess"}, C::games, true},
      {"Apple TV", {"com.apple.TV"}, C::video, true},
      {"Netflix", {"com.netflix.Netflix"}, C::video, true},
      {"Prime Video", {"com.amazon.aiv.AIVApp"}, C::video, true},
      {"Disney+", {"com.disney.disneyplus"}, C::video, true},
      {"VLC", {"org.videolan.vlc"}, C::video, false},
      {"IINA", {"com.colliderli.iina"}, C::video, false},
      {"Spotify", {"com.spotify.client"}, C::music, false},
      {"Music", {"com.apple.Music"}, C::music, false},
      {"Podcasts", {"com.apple.podcasts"}, C::music, false},
      {"News", {"com.apple.news"}, C::social, true},
      {"Reddit", {"com.reddit.Reddit"}, C::social, true},
      {"X", {"com.atebits.Tweetie2", "com.twitter.twitter-mac"}, C::social, true},
      {"Instagram", {"com.burbn.instagram"}, C::social, true},
  };
  return table;
}

const std::set<std::string, std::less<>>& exempt() {
  static const std::set<std::string, std::less<>> table{
      "com.quillbeam.mac",  // the companion app itself
      "com.apple.finder",          "com.apple.dock",          "com.apple.loginwindow",
      "com.apple.systemuiserver",  "com.apple.controlcenter", "com.apple.notificationcenterui",
      "com.apple.Spotlight",       "com.apple.SecurityAgent", "com.apple.systempreferences",
      "com.apple.ActivityMonitor",
  };
  return table;
}

const KnownApp* browser(std::string_view bundleID) {
  for (const KnownApp& app : browsers()) {
    for (const std::string& id : app.bundleIDs) {
      if (id == bundleID) return &app;
    }
  }
  return nullptr;
}

}  // namespace quillbeam::AppCatalog
