// Choosing where quillbeam-register writes: --browser, --user-data-dir, --system.
#include <gmock/gmock.h>

#include <fstream>

#include "register_tool_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

TEST_F(RegisterToolTest, BrowserPicksOnlyTheNamedOnesEvenWithoutAProfile) {
  makeProfile("chromium");

  const auto result = registerWith({"--browser", "vivaldi", "--browser=google-chrome-beta"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  // Table order, whatever the order on the command line.
  EXPECT_THAT(
      result.outLines(),
      ElementsAre("Google Chrome Beta: registered " + userManifest("google-chrome-beta").string(),
                  "Vivaldi: registered " + userManifest("vivaldi").string()));
  EXPECT_THAT(manifestsOnDisk(),
              UnorderedElementsAre(userManifest("google-chrome-beta"), userManifest("vivaldi")));
}

TEST_F(RegisterToolTest, BrowserNamingOnlyASandboxedInstallFails) {
  fs::create_directories(home / "snap/chromium");

  const auto result = registerWith({"--browser", "chromium"});

  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.outLines(), ElementsAre(StartsWith("Chromium (Snap): skipped:")));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

TEST_F(RegisterToolTest, UserDataDirWritesIntoThatProfileOnly) {
  makeProfile("chromium");
  const fs::path profile = root / "profiles" / "test run";

  const auto result = registerWith({"--user-data-dir", profile.string()});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  const fs::path file = profile / "NativeMessagingHosts" / manifestName;
  EXPECT_THAT(result.outLines(), ElementsAre(profile.string() + ": registered " + file.string()));
  EXPECT_EQ(readManifest(file), expectedManifest());
  EXPECT_THAT(manifestsOnDisk(), ElementsAre(file)) << "the detected browser is left alone";
}

TEST_F(RegisterToolTest, ARelativeUserDataDirIsTakenFromTheWorkingFolder) {
  // The tool runs in the scratch root.
  const auto result = registerWith({"--user-data-dir", "profiles/./p1/"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  const fs::path file = root / "profiles/p1/NativeMessagingHosts" / manifestName;
  EXPECT_THAT(result.outLines(),
              ElementsAre((root / "profiles/p1").string() + ": registered " + file.string()));
  EXPECT_TRUE(readManifest(file));
}

TEST_F(RegisterToolTest, UserDataDirWithBrowserDoesBoth) {
  const fs::path profile = root / "p";

  const auto result = registerWith({"--user-data-dir", profile.string(), "--browser", "brave"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(manifestsOnDisk(),
              UnorderedElementsAre(profile / "NativeMessagingHosts" / manifestName,
                                   userManifest("BraveSoftware/Brave-Browser")));
}

TEST_F(RegisterToolTest, SystemRegistersTheInstalledBrowsersForAllUsers) {
  makeSystemFolder("/usr/lib/chromium");
  makeSystemFolder("/opt/google/chrome-beta");
  makeSystemFolder("/opt/google/chrome-unstable");
  makeProfile("vivaldi");  // per-user only: not part of a --system run

  const auto result = registerWith({"--system"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto chrome = systemManifest("/etc/opt/chrome/native-messaging-hosts");
  const auto chromium = systemManifest("/etc/chromium/native-messaging-hosts");
  // The Chrome channels share one folder: one line, one file.
  EXPECT_THAT(result.outLines(),
              ElementsAre("Google Chrome (all users): registered " + chrome.string(),
                          "Chromium (all users): registered " + chromium.string()));
  EXPECT_EQ(readManifest(chrome), expectedManifest());
  EXPECT_EQ(readManifest(chromium), expectedManifest());
  EXPECT_EQ(fs::status(chromium.parent_path()).permissions(), fs::perms(0755))
      << "other users' browsers must reach it";
  EXPECT_THAT(manifestsOnDisk(), UnorderedElementsAre(chrome, chromium));
}

TEST_F(RegisterToolTest, SystemRefusesBrowsersWithoutAFolderForAllUsers) {
  const auto result =
      registerWith({"--system", "--browser", "brave", "--browser", "microsoft-edge-dev"});

  EXPECT_EQ(result.exitCode, 1);
  const auto edge = systemManifest("/etc/opt/edge/native-messaging-hosts");
  EXPECT_THAT(result.outLines(),
              ElementsAre(AllOf(StartsWith("Brave: skipped: "), HasSubstr("without --system")),
                          "Microsoft Edge (all users): registered " + edge.string()));
  EXPECT_THAT(manifestsOnDisk(), ElementsAre(edge));
}

TEST_F(RegisterToolTest, SystemWithNothingInstalledFails) {
  const auto result = registerWith({"--system"});

  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.err, HasSubstr("--browser"));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

TEST_F(RegisterToolTest, HelpNamesEveryOptionAndBrowser) {
  const auto result = run({"--help"});

  EXPECT_EQ(result.exitCode, 0);
  for (const char* word :
       {"--browser", "--user-data-dir", "--system", "--bridge", "--extension-id", "--uninstall",
        "--dry-run", "google-chrome-unstable", "chromium", "brave", "microsoft-edge-dev", "vivaldi",
        "Flatpak", "Snap", "QUILLBEAM_REGISTER_SYSTEM_ROOT"}) {
    EXPECT_THAT(result.out, HasSubstr(word));
  }
}

struct UsageCase {
  std::vector<std::string> arguments;
  std::string complaint;
};

class RegisterUsageTest : public RegisterToolTest,
                          public ::testing::WithParamInterface<UsageCase> {};

TEST_P(RegisterUsageTest, IsRefusedWithStatus2AndNothingWritten) {
  makeProfile("chromium");
  const auto before = snapshot();

  const auto result = registerWith(GetParam().arguments);

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_THAT(result.err, HasSubstr(GetParam().complaint));
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RegisterUsageTest,
    ::testing::Values(
        UsageCase{{"--browser", "firefox"}, "known browsers: google-chrome, "},
        UsageCase{{"--browser"}, "--browser needs a value"},
        UsageCase{{"--user-data-dir="}, "--user-data-dir needs a value"},
        UsageCase{{"--dry-run=yes"}, "--dry-run takes no value"},
        UsageCase{{"--extension-id", "anaamofdcieamnmnkhkdbgikgmcpnca"}, "not an extension ID"},
        UsageCase{{"--extension-id", "anaamofdcieamnmnkhkdbgikgmcpncaz"}, "not an extension ID"},
        UsageCase{{"register"}, "unknown option \"register\""}));

}  // namespace
}  // namespace quillbeam::testing
