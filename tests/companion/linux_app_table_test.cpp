#include "companion/desktop/linux_app_table.hpp"

#include <gtest/gtest.h>

#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam::companion {
namespace {

// The catalog row holding `bundleID`, or nullptr.
const KnownApp* catalogRow(std::string_view bundleID) {
  for (const auto* table : {&AppCatalog::browsers(), &AppCatalog::distractions()}) {
    for (const KnownApp& app : *table) {
      for (const std::string& id : app.bundleIDs) {
        if (id == bundleID) return &app;
      }
    }
  }
  return nullptr;
}

TEST(LinuxAppTable, EveryRowNamesACatalogApp) {
  for (auto rows : {linuxIdRows(), executableRows()}) {
    for (const LinuxAppRow& row : rows) {
      const KnownApp* app = catalogRow(row.app.bundleID);
      ASSERT_NE(app, nullptr) << row.linuxId << " -> " << row.app.bundleID;
      EXPECT_EQ(app->name, row.app.name) << row.linuxId;
      // A blocked list holds a distraction's primary ID whatever else it holds.
      if (app->category != KnownApp::Category::browser) {
        EXPECT_EQ(app->id(), row.app.bundleID) << row.linuxId;
      }
    }
  }
}

TEST(LinuxAppTable, IdentifiesLinuxIdsAndExecutables) {
  EXPECT_EQ(identify("com.discordapp.Discord"), (AppIdentity{"com.hnc.Discord", "Discord"}));
  EXPECT_EQ(identify("org.telegram.desktop"), (AppIdentity{"ru.keepcoder.Telegram", "Telegram"}));
  EXPECT_EQ(identify("firefox-esr"), (AppIdentity{"org.mozilla.firefox", "Firefox"}));
  EXPECT_EQ(identify("microsoft-edge-beta"),
            (AppIdentity{"com.microsoft.edgemac.Beta", "Microsoft Edge"}));
  // Unknown apps keep their ID, so a user can block them by it.
  EXPECT_EQ(identify("org.gnome.Terminal"), (AppIdentity{"org.gnome.Terminal", "Terminal"}));
  EXPECT_EQ(identify("xterm"), (AppIdentity{"xterm", "xterm"}));
  EXPECT_EQ(identify("odd."), (AppIdentity{"odd.", "odd."}));
  // Desktop IDs and file names are case-sensitive.
  EXPECT_EQ(appForLinuxId("Com.Spotify.Client"), std::nullopt);
  EXPECT_EQ(appForExecutable("Discord")->bundleID, "com.hnc.Discord");
  EXPECT_EQ(appForExecutable("discord")->bundleID, "com.hnc.Discord");
  EXPECT_EQ(appForExecutable("DISCORD"), std::nullopt);
  // Helpers and shared runtimes are not the app.
  for (std::string_view helper : {"electron", "chrome_crashpad_handler", "steamwebhelper",
                                  "google-chrome", "sh", "python3", "Web Content", ""}) {
    EXPECT_EQ(appForExecutable(helper), std::nullopt) << helper;
  }
}

}  // namespace
}  // namespace quillbeam::companion
