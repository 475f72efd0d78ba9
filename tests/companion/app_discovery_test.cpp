#include "companion/desktop/app_discovery.hpp"

#include <gtest/gtest.h>

#include <map>

#include "fake_system.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::companion {
namespace {

using testing::fakeProcess;
using testing::fakeUnit;
using testing::ScratchDir;
namespace fs = std::filesystem;

// A user's manager laid out as a GNOME session makes it, with one of each kind of unit
// and process that discovery must take or leave.
TEST(AppDiscovery, ListsTheUsersAppUnitsAndKnownProcessesOnly) {
  ScratchDir root;
  const uid_t uid = ::getuid();
  const std::string manager = "/user.slice/user@" + std::to_string(uid) + ".service";
  const std::string apps = manager + "/app.slice";
  const fs::path cg = root.path() / "cg";
  const fs::path proc = root.path() / "proc";
  const auto dir = [&](const std::string& cgroup) { return cg / cgroup.substr(1); };

  fakeUnit(dir(apps + "/app-gnome-com.discordapp.Discord-100.scope"), true);
  fakeUnit(dir(apps + "/app-flatpak-com.spotify.Client-200.scope"), true, true);
  fakeUnit(dir(apps + "/app-org.mozilla.firefox-300.scope"), false);  // empty
  fakeUnit(dir(apps + "/app-org.gnome.Terminal.slice/gnome-terminal-server.service"), true);
  fakeUnit(dir(apps + "/app-org.gnome.Terminal.slice/vte-spawn-abc.scope"), true);
  fakeUnit(dir(apps + "/app-gnome.slice/app-gnome-org.example.Game-5.scope"), true);
  fakeUnit(dir(apps + "/dbus.service"), true);
  fakeUnit(dir(apps + "/app-quillbeam-9.scope"), true);  // the companion's own
  fakeUnit(dir(manager + "/session.slice/org.gnome.Shell@wayland.service"), true);

  const std::string terminal = apps + "/app-org.gnome.Terminal.slice/vte-spawn-abc.scope";
  fakeProcess(proc, 40, "spotify", terminal);
  fakeProcess(proc, 41, "spotify", terminal);
  fakeProcess(proc, 42, "Discord", apps + "/app-gnome-com.discordapp.Discord-100.scope", 'S', cg);
  fakeProcess(proc, 45, "slack", terminal);  // ourselves
  fakeProcess(proc, 46, "bash", terminal);
  fakeProcess(proc, 47, "steam", "/user.slice/session-2.scope", 'T');
  fakeProcess(proc, 48, "quillbeam_bridge", terminal);
  fakeProcess(proc, 49, "chromium", "/system.slice/cron.service");  // ours, not the session's
  if (uid == 0) {
    fakeProcess(proc, 43, "vlc", terminal);
    ASSERT_EQ(::chown((proc / "43").c_str(), 4242, 4242), 0);
  }

  Cgroup2Mount mount{cg, "/"};
  CgroupTree tree{mount, dir(manager), dir(apps), dir(apps + "/app-quillbeam-9.scope")};
  const auto unit = [&](const std::string& path) { return ShieldTarget::cgroup(dir(apps + path)); };
  const std::vector<RunningApp> expected{
      {"com.hnc.Discord", "Discord", "com.discordapp.Discord",
       unit("/app-gnome-com.discordapp.Discord-100.scope"), false},
      {"com.spotify.client", "Spotify", "com.spotify.Client",
       unit("/app-flatpak-com.spotify.Client-200.scope"), true},
      {"com.spotify.client", "Spotify", "spotify",
       ShieldTarget::processes({{40, 1040}, {41, 1041}}), false},
      {"com.valvesoftware.steam", "Steam", "steam", ShieldTarget::processes({{47, 1047}}), true},
      {"org.example.Game", "Game", "org.example.Game",
       unit("/app-gnome.slice/app-gnome-org.example.Game-5.scope"), false},
      {"org.gnome.Terminal", "Terminal", "org.gnome.Terminal",
       unit("/app-org.gnome.Terminal.slice/gnome-terminal-server.service"), false},
  };
  EXPECT_EQ(AppDiscovery(tree, proc, uid, 45).scan(), expected);

  // Without a tree only the processes are found, wherever they run.
  const auto processesOnly = AppDiscovery(std::nullopt, proc, uid, 45).scan();
  ASSERT_EQ(processesOnly.size(), 4u);
  EXPECT_EQ(processesOnly[0].target, ShieldTarget::processes({{42, 1042}}));
}

// The browser a running bridge serves, however it was started, and an app started from a
// terminal: each is told apart from the unit it runs in.
TEST(AppDiscovery, FindsTheBrowsersOfEveryRunningBridgeAndAppsInsideATerminal) {
  ScratchDir root;
  const uid_t uid = ::getuid();
  const std::string apps = "/user.slice/user@" + std::to_string(uid) + ".service/app.slice";
  const fs::path cg = root.path() / "cg";
  const fs::path proc = root.path() / "proc";
  const auto dir = [&](const std::string& cgroup) { return cg / cgroup.substr(1); };
  const std::string chromium = apps + "/app-gnome-chromium-1111.scope";
  const std::string chrome = apps + "/app-gnome-google\\x2dchrome-12.scope";
  const std::string brave = apps + "/app-flatpak-com.brave.Browser-13.scope";
  const std::string konsole = apps + "/app-org.kde.konsole-2222.scope";
  for (const auto& unit : {chromium, chrome, brave, konsole}) fakeUnit(dir(unit), true);
  const std::string session = "/user.slice/session-2.scope";

  // A bridge in each of two browsers' scopes; the link file would name one.
  fakeProcess(proc, 10, "chromium", chromium, 'S', cg);
  fakeProcess(proc, 11, "quillbeam_bridge", chromium, 'S', cg, 10);
  fakeProcess(proc, 20, "chrome", chrome, 'S', cg);
  fakeProcess(proc, 21, "quillbeam_bridge", chrome, 'S', cg, 20);
  // A Flatpak browser's bridge runs beside the sandbox, named by its launcher.
  fakeProcess(proc, 30, "brave", brave, 'S', cg);
  fakeProcess(proc, 31, "quillbeam_bridge", session, 'S', {}, 2);
  testing::writeFile(proc / "31/environ",
            std::string("HOME=/h\0QUILLBEAM_BROWSER_APP=com.brave.Browser\0", 48));
  // From a terminal: Discord is Discord, and a Firefox running a bridge is its browser; the
  // terminal's unit holds that browser, so it is not to be frozen either.
  fakeProcess(proc, 40, "konsole", konsole, 'S', cg);
  fakeProcess(proc, 41, "Discord", konsole, 'S', cg, 40);
  fakeProcess(proc, 42, "firefox", konsole, 'S', cg, 40);
  fakeProcess(proc, 43, "quillbeam_bridge", konsole, 'S', cg, 42);

  Cgroup2Mount mount{cg, "/"};
  CgroupTree tree{mount, dir(apps).parent_path(), dir(apps), dir(session)};
  std::map<std::string, bool> hosts;
  for (const RunningApp& app : AppDiscovery(tree, proc, uid, 1).scan()) {
    hosts[app.linuxId + (app.target.isCgroup() ? " unit" : " processes")] = app.hostsBridge;
  }
  const std::map<std::string, bool> expected{
      {"chromium unit", true},          {"google-chrome unit", true},
      {"com.brave.Browser unit", true}, {"org.kde.konsole unit", true},
      {"Discord processes", false},     {"firefox processes", true},
  };
  EXPECT_EQ(hosts, expected);
}

}  // namespace
}  // namespace quillbeam::companion
