#include "companion/desktop/linux_app_table.hpp"

#include <algorithm>
#include <array>

namespace quillbeam::companion {
namespace {

constexpr KnownLinuxApp kChrome{"com.google.Chrome", "Google Chrome"};
constexpr KnownLinuxApp kChromeBeta{"com.google.Chrome.beta", "Google Chrome"};
constexpr KnownLinuxApp kChromeDev{"com.google.Chrome.dev", "Google Chrome"};
constexpr KnownLinuxApp kFirefox{"org.mozilla.firefox", "Firefox"};
constexpr KnownLinuxApp kFirefoxDev{"org.mozilla.firefoxdeveloperedition", "Firefox"};
constexpr KnownLinuxApp kFirefoxNightly{"org.mozilla.nightly", "Firefox"};
constexpr KnownLinuxApp kBrave{"com.brave.Browser", "Brave"};
constexpr KnownLinuxApp kBraveBeta{"com.brave.Browser.beta", "Brave"};
constexpr KnownLinuxApp kBraveNightly{"com.brave.Browser.nightly", "Brave"};
constexpr KnownLinuxApp kEdge{"com.microsoft.edgemac", "Microsoft Edge"};
constexpr KnownLinuxApp kEdgeBeta{"com.microsoft.edgemac.Beta", "Microsoft Edge"};
constexpr KnownLinuxApp kEdgeDev{"com.microsoft.edgemac.Dev", "Microsoft Edge"};
constexpr KnownLinuxApp kOpera{"com.operasoftware.Opera", "Opera"};
constexpr KnownLinuxApp kVivaldi{"com.vivaldi.Vivaldi", "Vivaldi"};
constexpr KnownLinuxApp kChromium{"org.chromium.Chromium", "Chromium"};
constexpr KnownLinuxApp kZen{"app.zen-browser.zen", "Zen"};
constexpr KnownLinuxApp kTor{"org.torproject.torbrowser", "Tor Browser"};
// Distractions map onto the catalog row's primary identifier, the one a blocked list
// always holds for the app.
constexpr KnownLinuxApp kDiscord{"com.hnc.Discord", "Discord"};
constexpr KnownLinuxApp kTelegram{"ru.keepcoder.Telegram", "Telegram"};
constexpr KnownLinuxApp kSignal{"org.whispersystems.signal-desktop", "Signal"};
constexpr KnownLinuxApp kSlack{"com.tinyspeck.slackmacgap", "Slack"};
constexpr KnownLinuxApp kSteam{"com.valvesoftware.steam", "Steam"};
constexpr KnownLinuxApp kMinecraft{"com.mojang.minecraftlauncher", "Minecraft"};
constexpr KnownLinuxApp kVlc{"org.videolan.vlc", "VLC"};
constexpr KnownLinuxApp kSpotify{"com.spotify.client", "Spotify"};

constexpr auto kLinuxIds = std::to_array<LinuxAppRow>({
    // Flathub IDs.
    {"com.google.Chrome", kChrome},
    {"com.google.ChromeDev", kChromeDev},
    {"org.mozilla.firefox", kFirefox},
    {"com.brave.Browser", kBrave},
    {"com.microsoft.Edge", kEdge},
    {"com.microsoft.EdgeDev", kEdgeDev},
    {"com.opera.Opera", kOpera},
    {"com.vivaldi.Vivaldi", kVivaldi},
    {"org.chromium.Chromium", kChromium},
    {"io.github.ungoogled_software.ungoogled_chromium", kChromium},
    {"app.zen_browser.zen", kZen},
    {"org.torproject.torbrowser-launcher", kTor},
    {"com.github.micahflee.torbrowser-launcher", kTor},
    {"com.discordapp.Discord", kDiscord},
    {"com.discordapp.DiscordCanary", kDiscord},
    {"org.telegram.desktop", kTelegram},
    {"org.signal.Signal", kSignal},
    {"com.slack.Slack", kSlack},
    {"com.valvesoftware.Steam", kSteam},
    {"com.mojang.Minecraft", kMinecraft},
    {"org.videolan.VLC", kVlc},
    {"com.spotify.Client", kSpotify},
    // Distribution desktop-file IDs and Snap names.
    {"google-chrome", kChrome},
    {"google-chrome-stable", kChrome},
    {"google-chrome-beta", kChromeBeta},
    {"google-chrome-unstable", kChromeDev},
    {"firefox", kFirefox},
    {"firefox-esr", kFirefox},
    {"firefox_firefox", kFirefox},
    {"firefox-developer-edition", kFirefoxDev},
    {"firefox-nightly", kFirefoxNightly},
    {"brave", kBrave},
    {"brave-browser", kBrave},
    {"brave-browser-beta", kBraveBeta},
    {"brave-browser-nightly", kBraveNightly},
    {"microsoft-edge", kEdge},
    {"microsoft-edge-stable", kEdge},
    {"microsoft-edge-beta", kEdgeBeta},
    {"microsoft-edge-dev", kEdgeDev},
    {"opera", kOpera},
    {"vivaldi", kVivaldi},
    {"vivaldi-stable", kVivaldi},
    {"chromium", kChromium},
    {"chromium-browser", kChromium},
    {"chromium_chromium", kChromium},
    {"torbrowser", kTor},
    {"discord", kDiscord},
    {"discord-ptb", kDiscord},
    {"discord-canary", kDiscord},
    {"telegram-desktop", kTelegram},
    {"telegramdesktop", kTelegram},
    {"signal-desktop", kSignal},
    {"signal-desktop-beta", kSignal},
    {"slack", kSlack},
    {"steam", kSteam},
    {"minecraft-launcher", kMinecraft},
    {"vlc", kVlc},
    {"spotify", kSpotify},
});

// Only executables that are the app itself. Left out on purpose: "electron" (shared by
// many apps), browser wrappers that are shell scripts (google-chrome, microsoft-edge:
// the process runs the real binary below), helpers (chrome_crashpad_handler,
// steamwebhelper, Web Content is a thread name, not a file).
constexpr auto kExecutables = std::to_array<LinuxAppRow>({
    {"chrome", kChrome},
    {"firefox", kFirefox},
    {"firefox-bin", kFirefox},
    {"firefox-esr", kFirefox},
    {"brave", kBrave},
    {"msedge", kEdge},
    {"opera", kOpera},
    {"vivaldi-bin", kVivaldi},
    {"chromium", kChromium},
    {"chromium-browser", kChromium},
    {"Discord", kDiscord},
    {"DiscordPTB", kDiscord},
    {"DiscordCanary", kDiscord},
    {"discord", kDiscord},
    {"Telegram", kTelegram},
    {"telegram-desktop", kTelegram},
    {"signal-desktop", kSignal},
    {"slack", kSlack},
    {"steam", kSteam},
    {"minecraft-launcher", kMinecraft},
    {"vlc", kVlc},
    {"spotify", kSpotify},
});

std::optional<KnownLinuxApp> find(std::span<const LinuxAppRow> rows, std::string_view key) {
  auto it = std::find_if(rows.begin(), rows.end(),
                         [key](const LinuxAppRow& row) { return row.linuxId == key; });
  if (it == rows.end()) return std::nullopt;
  return it->app;
}

}  // namespace

std::optional<KnownLinuxApp> appForLinuxId(std::string_view linuxId) {
  return find(kLinuxIds, linuxId);
}

std::optional<KnownLinuxApp> appForExecutable(std::string_view executable) {
  return find(kExecutables, executable);
}

AppIdentity identify(std::string_view linuxId) {
  if (auto known = appForLinuxId(linuxId)) {
    return AppIdentity{std::string(known->bundleID), std::string(known->name)};
  }
  std::string_view name = linuxId;
  if (const size_t dot = name.rfind('.'); dot != std::string_view::npos && dot + 1 < name.size()) {
    name.remove_prefix(dot + 1);
  }
  return AppIdentity{std::string(linuxId), std::string(name)};
}

std::span<const LinuxAppRow> linuxIdRows() {
  return kLinuxIds;
}
std::span<const LinuxAppRow> executableRows() {
  return kExecutables;
}

}  // namespace quillbeam::companion
