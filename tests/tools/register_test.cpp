// The built quillbeam-register run as a program against a scratch root "@": HOME is @/home,
// XDG_CONFIG_HOME @/config, the system root @/system, and /bin/true stands in for the bridge.
// In the table "%" is a browser folder's NativeMessagingHosts/<manifest>, "^" the same in a folder
// for all users.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"
#include "quillbeam/wire/native_messaging.hpp"
#include "support/file_text.hpp"
#include "support/run_command.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;

constexpr char launcherName[] = "quillbeam_bridge-on-host";

// One run of the tool: words are separated by spaces, texts by "|". `setup` holds the
// folders made below @ first, then after each "|" the arguments of a run before, which
// succeeds; "+" is --bridge=/bin/true. `said` holds texts found in this order in the
// standard output, then error; `files` every file below @ afterwards.
struct Case {
  const char *name, *setup, *arguments;
  int status;
  const char *said, *files;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// The tool in a scratch root, with a stand-in `flatpak` first on PATH that records its
// arguments and writes the override that the real one would.
class RegisterRun : public ::testing::Test {
 protected:
  RegisterRun() {
    fs::create_directories(bin);
    script("flatpak",
           "echo \"$*\" >>" + quoted(calls) +
               "\n[ \"$3\" = --talk-name=org.freedesktop.Flatpak ] && v=talk || v=none\n"
               "o=$HOME/.local/share/flatpak/overrides; mkdir -p $o\n"
               "printf '[Session Bus Policy]\\norg.freedesktop.Flatpak=%s\\n' $v >$o/$4\n");
  }

  void script(const std::string& name, const std::string& body) const {
    writeFile(bin / name, "#!/bin/sh\n" + body);
    fs::permissions(bin / name, fs::perms(0755));
  }

  std::string expand(std::string text) const {
    for (auto [mark, with] : {std::pair<char, std::string>{'+', "--bridge=/bin/true"},
                              {'@', root.string()},
                              {'%', "/NativeMessagingHosts/com.quillbeam.companion.json"},
                              {'^', "/native-messaging-hosts/com.quillbeam.companion.json"},
                              {'&', "--let-flatpak-browsers-run-any-host-program"},
                              {'~', "home/.local/share/flatpak/app/"},
                              {'#', "system/var/lib/flatpak/app/"}}) {
      for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, 1, with);
    }
    return text;
  }

  // Runs the tool in @ (a path with nothing the shell would read); its exit status.
  int run(const std::vector<std::string>& arguments) {
    std::string command = "cd " + quoted(root) + " && env -i PATH=" + quoted(bin) + ":/bin " +
                          expand(
                              "HOME=@/home XDG_CONFIG_HOME=@/config "
                              "QUILLBEAM_REGISTER_SYSTEM_ROOT=@/system ") +
                          quoted(QUILLBEAM_REGISTER_PATH);
    for (const auto& argument : arguments) command += " " + quoted(expand(argument));
    return runCommand(command + " >../out 2>../err").status;
  }
  int run(const std::string& arguments) { return run(split(arguments, ' ')); }

  // Every file and folder below @ (folders ending in "/"), relative to @; Flatpak's own
  // installations and overrides left out.
  std::set<std::string> tree() const {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const auto path = entry.path().lexically_relative(root).string();
      if (path.starts_with("home/.local/") || path.starts_with("system/var/")) continue;
      found.insert(path + (entry.is_directory() ? "/" : ""));
    }
    return found;
  }

  ScratchDir scratch;  // holds @ and, beside it, the captured output
  fs::path root = scratch / "r", bin = scratch / "bin", calls = scratch / "calls";
};

class Register : public RegisterRun, public ::testing::WithParamInterface<Case> {};

TEST_P(Register, Run) {
  const auto setup = split(std::string("home config system ") + GetParam().setup, '|');
  for (const auto& folder : split(setup[0], ' ')) fs::create_directories(root / expand(folder));
  for (size_t i = 1; i < setup.size(); ++i) ASSERT_EQ(run(setup[i]), 0) << setup[i];
  const auto before = tree();
  fs::remove(calls);

  EXPECT_EQ(run(GetParam().arguments), GetParam().status);
  EXPECT_EQ(readFile(calls), "") << "no case here gives a Flatpak any permission";

  const std::string out = readFile(scratch / "out"), all = out + readFile(scratch / "err");
  EXPECT_TRUE(GetParam().status != 2 || out.empty()) << "a usage error prints nothing else";
  size_t at = 0;
  for (const auto& text : split(GetParam().said, '|')) {
    EXPECT_NE(at = all.find(expand(text), at), std::string::npos) << expand(text) << " not in\n"
                                                                  << all;
  }
  std::set<std::string> files, expected;
  for (const auto& file : split(GetParam().files, ' ')) expected.insert(expand(file));
  for (const auto& entry : tree()) {
    // No folder appears but those that hold a manifest now.
    if (entry.ends_with('/')) {
      EXPECT_TRUE(
          before.contains(entry) ||
          std::ranges::any_of(expected, [&](auto& file) { return file.starts_with(entry); }))
          << entry;
    } else {
      files.insert(entry);
      // Readable by every user's browser, naming the bridge and the Quillbeam extension.
      EXPECT_EQ(fs::status(root / entry).permissions(), fs::perms(0644)) << entry;
      EXPECT_EQ(NativeHostManifest::fromJson(json::parse(readFile(root / entry))),
                NativeHostManifest("/bin/true", {"anaamofdcieamnmnkhkdbgikgmcpncak"}));
    }
  }
  EXPECT_EQ(files, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Register,
    ::testing::Values(
        Case{"Detected", "config/chromium config/microsoft-edge-beta system/opt/vivaldi", "+", 0,
             "Chromium: registered|Microsoft Edge Beta: registered|Vivaldi: registered",
             "config/chromium% config/microsoft-edge-beta% config/vivaldi%"},
        Case{"NothingFound", "", "+", 1, "no Chromium-family browser profile in @/config", ""},
        Case{"Snap", "config/chromium home/snap/brave", "+", 0,
             "Chromium: registered|Brave (Snap): skipped: the Snap's confinement lets Brave start "
             "only programs that come inside the snap|flatpak install flathub com.brave.Browser",
             "config/chromium%"},
        // Without the user's word nothing is written for it, and the command is shown.
        Case{"FlatpakWithoutConsent", "~com.google.Chrome home/.var/app/com.google.Chrome/cache",
             "+", 1,
             "Google Chrome (Flatpak): not registered: |run any program|&|\n    flatpak override "
             "--user --talk-name=org.freedesktop.Flatpak com.google.Chrome\n",
             ""},
        Case{"FlatpakDryRun", "#com.brave.Browser", "+ --dry-run &", 0,
             "Brave (Flatpak): would register "
             "@/home/.var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser%, started by "
             "@/home/.var/app/com.brave.Browser/quillbeam/quillbeam_bridge-on-host; would give "
             "it permission|launcher @/|exec flatpak-spawn --watch-bus --host "
             "--env=QUILLBEAM_BROWSER_APP=\"$FLATPAK_ID\" /bin/true|\"path\": "
             "\"@/home/.var/app/com.brave.Browser/quillbeam/quillbeam_bridge-on-host\"",
             ""},
        Case{"FlatpakOnlyOutside", "config/chromium", "+ --browser ungoogled-chromium", 1,
             "ungoogled Chromium: skipped: found no Flatpak of it|--browser chromium", ""},
        Case{"Chosen", "config/chromium", "+ --browser vivaldi --browser=google-chrome-beta", 0,
             "Google Chrome Beta: registered|Vivaldi",
             "config/google-chrome-beta% config/vivaldi%"},
        Case{"ChosenOnlySandboxed", "home/snap/chromium", "+ --browser chromium", 1,
             "Chromium (Snap): skipped: ", ""},
        Case{"UserDataDir", "config/chromium", "+ --user-data-dir profiles/./p1/", 0,
             "@/profiles/p1: registered @/profiles/p1%\n", "profiles/p1%"},
        Case{"System", "system/usr/lib/chromium system/opt/google/chrome-beta config/vivaldi",
             "+ --system", 0, "Google Chrome (all users): registered|Chromium (all users)",
             "system/etc/opt/chrome^ system/etc/chromium^"},
        Case{"SystemNothingFound", "config/chromium", "+ --system", 1,
             "found no Google Chrome, Chromium or Microsoft Edge installed for all users (under "
             "@/system)",
             ""},
        Case{"SystemChosen", "", "+ --system --browser brave --browser microsoft-edge-dev", 1,
             "Brave: skipped: Brave has no folder for all users|Edge (all users)",
             "system/etc/opt/edge^"},
        Case{"DryRun", "config/chromium system/opt/microsoft/msedge",
             "+ --dry-run --extension-id aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0,
             "Chromium: would register|Edge: would "
             "register|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/|/bin/true",
             ""},
        Case{"AlreadyRegistered", "config/chromium|+", "+", 0,
             "Chromium: already registered @/config/chromium%\n", "config/chromium%"},
        Case{"Replaced", "config/chromium|+ --extension-id aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "+",
             0, "Chromium: registered @/config/chromium% (replaced the manifest there)",
             "config/chromium%"},
        Case{"Uninstall",
             "config/chromium system/usr/lib/chromium|+|+ --system|+ --browser vivaldi",
             "--uninstall", 0, "Chromium: removed|Vivaldi: removed", "system/etc/chromium^"},
        Case{"UninstallSystem", "config/chromium system/usr/lib/chromium|+|+ --system",
             "--uninstall --system", 0, "Chromium (all users): removed", "config/chromium%"},
        Case{"ShortID", "config/chromium", "+ --extension-id anaamofdcieamnmnkhkdbgikgmcpnca", 2,
             "is not an extension ID", ""},
        Case{"NoBridgeBesideTheTool", "config/chromium", "", 2,
             "no bridge installed beside this tool|cmake --install", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Every Flatpak browser, installed for the user or the system: its manifest in the
// sandbox's profile folder names its launcher, which it can run; the permission is given
// once, then found; removal takes back only what was given and leaves nothing.
TEST_F(RegisterRun, EveryFlatpakBrowser) {
  const std::vector<std::pair<std::string, std::string>> browsers{
      {"com.google.Chrome", "google-chrome"},
      {"com.google.ChromeDev", "google-chrome-unstable"},
      {"org.chromium.Chromium", "chromium"},
      {"io.github.ungoogled_software.ungoogled_chromium", "chromium"},
      {"com.brave.Browser", "BraveSoftware/Brave-Browser"},
      {"com.microsoft.Edge", "microsoft-edge"},
      {"com.microsoft.EdgeDev", "microsoft-edge-dev"},
      {"com.vivaldi.Vivaldi", "vivaldi"}};
  std::string grants, revokes;
  for (size_t i = 0; i < browsers.size(); ++i) {
    const auto& id = browsers[i].first;
    fs::create_directories(root / expand(i % 2 ? "#" : "~") / id);
    grants += "override --user --talk-name=org.freedesktop.Flatpak " + id + "\n";
    revokes += "override --user --no-talk-name=org.freedesktop.Flatpak " + id + "\n";
  }
  fs::create_directories(root / "config");
  const auto before = tree();

  ASSERT_EQ(run("+ &"), 0) << readFile(scratch / "out");
  for (const auto& [id, folder] : browsers) {
    const fs::path app = root / "home/.var/app" / id, launcher = app / "quillbeam" / launcherName;
    EXPECT_EQ(NativeHostManifest::fromJson(
                  json::parse(readFile(app / "config" / folder / expand("%").substr(1)))),
              NativeHostManifest(launcher.string(), {"anaamofdcieamnmnkhkdbgikgmcpncak"}))
        << id;
    EXPECT_EQ(fs::status(launcher).permissions(), fs::perms(0755)) << id;
  }
  EXPECT_EQ(readFile(calls), grants);

  ASSERT_EQ(run("+"), 0);
  const std::string again = readFile(scratch / "out");
  size_t registered = 0;
  for (size_t at = 0; (at = again.find(": already registered", at)) != std::string::npos; ++at)
    ++registered;
  EXPECT_EQ(registered, browsers.size()) << again;
  EXPECT_EQ(readFile(calls), grants);

  // Browsers uninstalled first still lose what was written and given for them.
  fs::remove_all(root / expand("~"));
  ASSERT_EQ(run("--uninstall"), 0);
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(readFile(calls), grants + revokes);
}

// The launcher run as the browser runs it, with a stand-in flatpak-spawn that leaves the
// sandbox out: the real bridge at a path no shell takes literally gets the browser's
// arguments, answers the hello on the browser's pipe and records the link.
TEST_F(RegisterRun, LauncherRunsTheBridge) {
  const fs::path bridge = root / "odd 'dir' \"q\" $HOME \\x" / "quillbeam_bridge";
  fs::create_directories(bridge.parent_path());
  fs::create_symlink(QUILLBEAM_BRIDGE_PATH, bridge);
  fs::create_directories(root / expand("~org.chromium.Chromium"));
  script("flatpak-spawn",
         "while [ \"${1#--}\" != \"$1\" ]; do shift; done\n"
         "printf '%s\\n' \"$@\" >" +
             quoted(scratch / "spawned") + "\nexec \"$@\"\n");
  ASSERT_EQ(run({"--bridge=" + bridge.string(), "&"}), 0) << readFile(scratch / "err");

  const std::string hello = R"({"type":"hello","extensionVersion":"7.7"})";
  writeFile(scratch / "in", NativeMessaging::frame(hello));
  const std::string launcher =
      (root / "home/.var/app/org.chromium.Chromium/quillbeam" / launcherName).string();
  const std::string command = "env -i PATH=" + quoted(bin) + ":/bin HOME=" + quoted(root / "home") +
                              " " + quoted(launcher) + " chrome-extension://x/ " +
                              quoted("a b 'c' $d") + " <" + quoted(scratch / "in") + " >" +
                              quoted(scratch / "reply");
  ASSERT_EQ(runCommand(command).status, 0);

  EXPECT_EQ(readFile(scratch / "reply"),
            NativeMessaging::frame(
                R"({"type":"hello","protocol":1,"appVersion":")" QUILLBEAM_APP_VERSION R"("})"));
  EXPECT_EQ(readFile(scratch / "spawned"),
            bridge.string() + "\nchrome-extension://x/\na b 'c' $d\n");
  const auto link =
      SharedFiles::readLink(root / "home/Library/Application Support/Quillbeam/browser-link.json");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->extensionVersion, "7.7");
}

}  // namespace
}  // namespace quillbeam::testing
