// Which browsers quillbeam-register finds on its own, and what it writes for them.
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <fstream>

#include "browser_table.hpp"
#include "register_tool_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

TEST_F(RegisterToolTest, RegistersEveryBrowserWithAProfileAndNamesOnlyThose) {
  makeProfile("chromium");
  makeProfile("BraveSoftware/Brave-Browser");
  makeProfile("microsoft-edge-beta");

  const auto result = registerWith({});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(
      result.outLines(),
      ElementsAre(
          "Chromium: registered " + userManifest("chromium").string(),
          "Brave: registered " + userManifest("BraveSoftware/Brave-Browser").string(),
          "Microsoft Edge Beta: registered " + userManifest("microsoft-edge-beta").string()));
  for (const char* folder : {"chromium", "BraveSoftware/Brave-Browser", "microsoft-edge-beta"}) {
    EXPECT_EQ(readManifest(userManifest(folder)), expectedManifest()) << folder;
  }
  EXPECT_EQ(manifestsOnDisk().size(), 3u) << "nothing written for browsers not found";
}

TEST_F(RegisterToolTest, ABrowserInstalledButNeverStartedIsRegistered) {
  makeSystemFolder("/usr/lib/chromium");

  const auto result = registerWith({"--dry-run"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  ASSERT_FALSE(result.outLines().empty());
  EXPECT_EQ(result.outLines()[0], "Chromium: would register " + userManifest("chromium").string());
  // Chromium and nothing else: the remaining lines are the manifest text.
  EXPECT_THAT(result.out, Not(HasSubstr("Chrome:")));
  EXPECT_THAT(result.out, Not(HasSubstr("Brave")));
  EXPECT_THAT(result.out, Not(HasSubstr("Edge")));

  ASSERT_EQ(registerWith({}).exitCode, 0);
  EXPECT_EQ(readManifest(userManifest("chromium")), expectedManifest());
}

TEST_F(RegisterToolTest, EachBrowserInstalledFromPackagesIsFoundAloneByItsInstallFolder) {
  for (const auto& browser : Register::browserLocations()) {
    SCOPED_TRACE(browser.option);
    ASSERT_FALSE(browser.installFolders.empty());
    for (auto folder : browser.installFolders) {
      fs::remove_all(system);
      makeSystemFolder(std::string(folder));

      const auto result = registerWith({"--dry-run"});

      EXPECT_EQ(result.exitCode, 0) << result.err;
      ASSERT_FALSE(result.outLines().empty());
      EXPECT_EQ(result.outLines()[0], std::string(browser.displayName) + ": would register " +
                                          userManifest(std::string(browser.configFolder)).string());
      EXPECT_EQ(result.outLines()[1], "") << "one browser line, then the manifest";
    }
  }
}

TEST_F(RegisterToolTest, NoBrowserFoundIsAFailureThatSaysWhatToDo) {
  const auto before = snapshot();

  const auto result = registerWith({});

  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_THAT(result.err, HasSubstr(config.string()));
  EXPECT_THAT(result.err, HasSubstr("--browser"));
  EXPECT_THAT(result.err, HasSubstr("--user-data-dir"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(RegisterToolTest, ProfilesAreLookedForUnderHomeWhenXdgConfigHomeIsUnsetOrRelative) {
  fs::create_directories(home / ".config" / "vivaldi");
  makeProfile("chromium");  // under $XDG_CONFIG_HOME, which is ignored below

  for (const char* xdg : {"", "relative/config"}) {
    SCOPED_TRACE(xdg);
    if (*xdg) {
      environment["XDG_CONFIG_HOME"] = xdg;
    } else {
      environment.erase("XDG_CONFIG_HOME");
    }
    const auto result = registerWith({});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, StartsWith("Vivaldi: "));
    EXPECT_EQ(result.outLines().size(), 1u) << result.out;
  }
  EXPECT_TRUE(readManifest(home / ".config/vivaldi/NativeMessagingHosts" / manifestName));
}

TEST_F(RegisterToolTest, WritesTheManifestReadableByAllWithNothingElseBesideIt) {
  makeProfile("google-chrome");

  ASSERT_EQ(registerWith({"--extension-id", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "--extension-id",
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "--extension-id",
                          "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"})
                .exitCode,
            0);

  const auto file = userManifest("google-chrome");
  EXPECT_EQ(readManifest(file), expectedManifest({"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
                                                  "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // No temporary file of the atomic write is left behind.
  EXPECT_THAT(manifestsOnDisk(), ElementsAre(file));
}

TEST_F(RegisterToolTest, FlatpakOrSnapInstallsAreReportedAndLeftAlone) {
  fs::create_directories(home / ".var/app/org.chromium.Chromium/config");
  fs::create_directories(home / "snap/brave/current");

  const auto result = registerWith({});

  EXPECT_EQ(result.exitCode, 1) << "nothing could be registered";
  const auto lines = result.outLines();
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_THAT(lines[0], StartsWith("Chromium (Flatpak): skipped:"));
  EXPECT_THAT(lines[1], StartsWith("Brave (Snap): skipped:"));
  for (const auto& line : lines) EXPECT_THAT(line, HasSubstr("sandbox"));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

TEST_F(RegisterToolTest, ASandboxedInstallBesideANativeOneStillRegistersTheNativeOne) {
  makeProfile("chromium");
  fs::create_directories(home / "snap/chromium");

  const auto result = registerWith({});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.outLines(),
              ElementsAre("Chromium: registered " + userManifest("chromium").string(),
                          StartsWith("Chromium (Snap): skipped:")));
  EXPECT_THAT(manifestsOnDisk(), ElementsAre(userManifest("chromium")));
}

TEST_F(RegisterToolTest, AFailedWriteIsReportedOnItsLineAndTheOthersGoAhead) {
  makeProfile("chromium");
  makeProfile("vivaldi");
  // A file where the hosts folder must go: creating it fails whoever runs the test.
  std::ofstream(config / "chromium" / "NativeMessagingHosts") << "in the way";

  const auto result = registerWith({});

  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.outLines(),
              ElementsAre(StartsWith("Chromium: failed: "),
                          "Vivaldi: registered " + userManifest("vivaldi").string()));
  EXPECT_TRUE(readManifest(userManifest("vivaldi")));
}

}  // namespace
}  // namespace quillbeam::testing
