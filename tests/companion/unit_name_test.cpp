#include "companion/desktop/unit_name.hpp"

#include <gtest/gtest.h>

namespace quillbeam::companion {
namespace {

using K = UnitKind;
using std::nullopt;

struct Case {
  std::string_view name;
  std::optional<UnitName> expected;
};

TEST(UnitName, ReadsTheDesktopConvention) {
  const Case cases[] = {
      // Launcher or not: a launcher is one component without a dot.
      {"app-gnome-firefox-1234.scope", UnitName{K::scope, "firefox", "gnome", "1234"}},
      {"app-org.mozilla.firefox-1234.scope",
       UnitName{K::scope, "org.mozilla.firefox", nullopt, "1234"}},
      {"app-firefox-1234.scope", UnitName{K::scope, "firefox", nullopt, "1234"}},
      {"app-KDE-org.kde.okular@12345.service",
       UnitName{K::service, "org.kde.okular", "KDE", "12345"}},
      {"app-org.kde.amarok.service", UnitName{K::service, "org.kde.amarok", nullopt, nullopt}},
      {"app-gnome-org.gnome.Evince-12345.service",
       UnitName{K::service, "org.gnome.Evince", "gnome", "12345"}},
      {"app-discord@autostart.service", UnitName{K::service, "discord", nullopt, "autostart"}},
      // Escapes: a dash of the ID is \x2d.
      {"app-gnome-signal\\x2ddesktop-99.scope",
       UnitName{K::scope, "signal-desktop", "gnome", "99"}},
      {"app-org.gnome.Evolution\\x2dalarm\\x2dnotify@autostart.service",
       UnitName{K::service, "org.gnome.Evolution-alarm-notify", nullopt, "autostart"}},
      {"app-caf\\xc3\\xa9.app-1.scope", UnitName{K::scope, "caf\xc3\xa9.app", nullopt, "1"}},
      {"app-caf\\xC3\\xA9.app-1.scope", UnitName{K::scope, "caf\xc3\xa9.app", nullopt, "1"}},
      // Flatpak leaves an ID's own dashes unescaped; after a launcher the ID stays whole.
      {"app-flatpak-com.discordapp.Discord-4242.scope",
       UnitName{K::scope, "com.discordapp.Discord", "flatpak", "4242"}},
      {"app-flatpak-org.foo.my-app-12.scope",
       UnitName{K::scope, "org.foo.my-app", "flatpak", "12"}},
      {"app-org.foo.my-app-12.scope", UnitName{K::scope, "org.foo.my-app", nullopt, "12"}},
      // Slices group an app's units.
      {"app-org.gnome.Terminal.slice", UnitName{K::slice, "org.gnome.Terminal", nullopt, nullopt}},
      {"app-gnome-org.gnome.Terminal.slice",
       UnitName{K::slice, "org.gnome.Terminal", "gnome", nullopt}},
      // Snap: the snap's name is the ID; hooks are no apps.
      {"snap.spotify.spotify-7b5d8c4e-4f0c-4c7c-8d6b-f2b0a7b4c1a6.scope",
       UnitName{K::scope, "spotify", "snap", "7b5d8c4e-4f0c-4c7c-8d6b-f2b0a7b4c1a6"}},
      {"snap.telegram-desktop.telegram-desktop-abc.scope",
       UnitName{K::scope, "telegram-desktop", "snap", "desktop-abc"}},
      {"snap.firefox.hook.configure-abc.scope", nullopt},
      {"snap.firefox.firefox.service", nullopt},
      {"snap..firefox-abc.scope", nullopt},
      // Random part missing or empty; templates; no ID.
      {"app-org.mozilla.firefox.scope", nullopt},
      {"app-firefox-.scope", nullopt},
      {"app-firefox@.service", nullopt},
      {"app-.service", nullopt},
      {"app--firefox-1.scope", nullopt},
      {"app-x@y.scope", nullopt},
      // Not app units.
      {"app.slice", nullopt},
      {"vte-spawn-0f3c.scope", nullopt},
      {"dbus.service", nullopt},
      {"app-firefox-1.socket", nullopt},
      {"", nullopt},
      // Odd bytes: raw bytes outside unit-name characters, bad escapes, control characters,
      // invalid UTF-8, '/' smuggled in an escape.
      {"app-fire fox-1.scope", nullopt},
      {"app-caf\xc3\xa9-1.scope", nullopt},
      {"app-bad\\x2-1.scope", nullopt},
      {"app-bad\\-1.scope", nullopt},
      {"app-bad\\x0a-1.scope", nullopt},
      {"app-bad\\x7f-1.scope", nullopt},
      {"app-bad\\xff\\xfe-1.scope", nullopt},
      {"app-a\\x2fb-1.scope", nullopt},
      {"app-gnome\\x0a-firefox-1.scope", nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseUnitName(c.name), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace quillbeam::companion
