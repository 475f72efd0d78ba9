// The built quillbeam-register run as a program against a scratch root "@": HOME is @/home,
// XDG_CONFIG_HOME @/config, the system root @/system, and /bin/true stands in for the bridge.
// In the table "%" is a browser folder's NativeMessagingHosts/<manifest>, "^" the same in a folder
// for all users.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"
#include "scratch.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;

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

class Register : public ::testing::TestWithParam<Case> {
 protected:
  std::string expand(std::string text) const {
    for (auto [mark, with] : {std::pair<char, std::string>{'+', "--bridge=/bin/true"},
                              {'@', root.string()},
                              {'%', "/NativeMessagingHosts/com.quillbeam.companion.json"},
                              {'^', "/native-messaging-hosts/com.quillbeam.companion.json"}}) {
      for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, 1, with);
    }
    return text;
  }

  // Runs the tool in @ (a path with nothing the shell would read); its exit status.
  int run(const std::string& arguments) {
    std::string command = expand(
                              "cd @ && env -i PATH=/bin HOME=@/home XDG_CONFIG_HOME=@/config "
                              "QUILLBEAM_REGISTER_SYSTEM_ROOT=@/system ") +
                          quoted(QUILLBEAM_REGISTER_PATH);
    for (const auto& argument : split(arguments, ' ')) command += " " + quoted(expand(argument));
    const int status = std::system((command + " >../out 2>../err").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Every file and folder below @ (folders ending in "/"), relative to @.
  std::set<std::string> tree() const {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      found.insert(entry.path().lexically_relative(root).string() +
                   (entry.is_directory() ? "/" : ""));
    }
    return found;
  }

  Scratch scratch;  // holds @ and, beside it, the captured output
  fs::path root = scratch.path / "r";
};

TEST_P(Register, Run) {
  const auto setup = split(std::string("home config system ") + GetParam().setup, '|');
  for (const auto& folder : split(setup[0], ' ')) fs::create_directories(root / folder);
  for (size_t i = 1; i < setup.size(); ++i) ASSERT_EQ(run(setup[i]), 0) << setup[i];
  const auto before = tree();

  EXPECT_EQ(run(GetParam().arguments), GetParam().status);

  const std::string out = readFile(scratch.path / "out"),
                    all = out + readFile(scratch.path / "err");
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
        Case{
            "Sandboxed", "config/chromium home/.var/app/org.chromium.Chromium home/snap/brave", "+",
            0,
            "Chromium: registered|Flatpak): skipped: a browser installed as a Flatpak|Brave (Snap)",
            "config/chromium%"},
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

}  // namespace
}  // namespace quillbeam::testing
