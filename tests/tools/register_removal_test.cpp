// quillbeam-register --uninstall, --dry-run and running it again.
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <fstream>

#include "register_tool_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

ino_t inode(const fs::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(RegisterToolTest, UninstallLeavesNoManifestAnywhere) {
  makeProfile("chromium");
  makeProfile("google-chrome");
  makeSystemFolder("/usr/lib/chromium");
  ASSERT_EQ(registerWith({}).exitCode, 0);
  ASSERT_EQ(registerWith({"--system"}).exitCode, 0);
  ASSERT_EQ(registerWith({"--browser", "vivaldi"}).exitCode, 0);
  ASSERT_EQ(manifestsOnDisk().size(), 4u);

  const auto user = run({"--uninstall"});
  const auto all = run({"--uninstall", "--system"});

  EXPECT_EQ(user.exitCode, 0) << user.err;
  EXPECT_THAT(user.outLines(),
              ElementsAre("Google Chrome: removed " + userManifest("google-chrome").string(),
                          "Chromium: removed " + userManifest("chromium").string(),
                          "Vivaldi: removed " + userManifest("vivaldi").string()));
  EXPECT_EQ(all.exitCode, 0) << all.err;
  EXPECT_THAT(all.out, HasSubstr("Chromium (all users): removed"));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
  // The hosts folders held nothing else and went too; the profiles stay.
  EXPECT_FALSE(fs::exists(config / "chromium" / "NativeMessagingHosts"));
  EXPECT_TRUE(fs::is_directory(config / "chromium"));
}

TEST_F(RegisterToolTest, UninstallKeepsOtherHostsAndSaysWhenNothingWasRegistered) {
  makeProfile("chromium");
  makeProfile("vivaldi");
  ASSERT_EQ(registerWith({"--browser", "chromium"}).exitCode, 0);
  const fs::path other = config / "chromium" / "NativeMessagingHosts" / "org.example.other.json";
  std::ofstream(other) << "{}";

  const auto result = run({"--uninstall"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.outLines(),
              ElementsAre("Chromium: removed " + userManifest("chromium").string(),
                          "Vivaldi: not registered"));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

TEST_F(RegisterToolTest, UninstallWithoutAnyBrowserSucceedsAndSaysSo) {
  const auto result = run({"--uninstall"});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("nothing to remove"));
}

TEST_F(RegisterToolTest, UninstallUserDataDirRemovesOnlyThere) {
  makeProfile("chromium");
  const fs::path profile = root / "p";
  ASSERT_EQ(registerWith({}).exitCode, 0);
  ASSERT_EQ(registerWith({"--user-data-dir", profile.string()}).exitCode, 0);

  const auto result = run({"--uninstall", "--user-data-dir", profile.string()});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(manifestsOnDisk(), ElementsAre(userManifest("chromium")));
}

TEST_F(RegisterToolTest, UninstallDoesNotNeedABridge) {
  makeProfile("chromium");
  ASSERT_EQ(registerWith({}).exitCode, 0);
  fs::remove(bridge);

  EXPECT_EQ(run({"--uninstall"}).exitCode, 0);
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

TEST_F(RegisterToolTest, DryRunChangesNothingAndShowsWhatItWouldWrite) {
  makeProfile("chromium");
  makeSystemFolder("/opt/microsoft/msedge");
  auto before = snapshot();

  const auto user = registerWith({"--dry-run"});
  const auto system = registerWith({"--dry-run", "--system"});
  const auto profile = registerWith({"--dry-run", "--user-data-dir", (root / "p").string()});

  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(user.exitCode, 0) << user.err;
  EXPECT_THAT(user.out, HasSubstr("Chromium: would register " + userManifest("chromium").string()));
  EXPECT_THAT(system.out, HasSubstr("Microsoft Edge (all users): would register"));
  EXPECT_THAT(profile.out, HasSubstr("would register"));
  // The manifest text follows the lines.
  const auto text = user.out.substr(user.out.find('{'));
  EXPECT_EQ(NativeHostManifest::fromJson(json::parse(text)), expectedManifest());

  ASSERT_EQ(registerWith({}).exitCode, 0);
  before = snapshot();
  const auto removal = run({"--uninstall", "--dry-run"});
  EXPECT_EQ(removal.exitCode, 0);
  EXPECT_THAT(
      removal.outLines(),
      ElementsAre("Chromium: would remove " + userManifest("chromium").string(),
                  "Microsoft Edge: would remove " + userManifest("microsoft-edge").string()));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(RegisterToolTest, RunningAgainChangesNothingUntilTheManifestWouldDiffer) {
  makeProfile("chromium");
  const auto file = userManifest("chromium");
  ASSERT_EQ(registerWith({}).exitCode, 0);
  const ino_t first = inode(file);

  const auto again = registerWith({});

  EXPECT_EQ(again.exitCode, 0);
  EXPECT_THAT(again.outLines(), ElementsAre("Chromium: already registered " + file.string()));
  EXPECT_EQ(inode(file), first) << "an identical manifest is not rewritten";

  const fs::path moved = root / "bin" / "moved bridge";
  fs::copy_file(bridge, moved);
  const auto replaced = run({"--bridge", moved.string()});
  EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_THAT(replaced.outLines(), ElementsAre("Chromium: registered " + file.string() +
                                               " (replaced the manifest there)"));
  ASSERT_TRUE(readManifest(file));
  EXPECT_EQ(readManifest(file)->path, moved.string());
}

TEST_F(RegisterToolTest, AnUnreadableManifestIsRewrittenReadable) {
  makeProfile("chromium");
  const auto file = userManifest("chromium");
  ASSERT_EQ(registerWith({}).exitCode, 0);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);

  const auto again = registerWith({});

  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
}

}  // namespace
}  // namespace quillbeam::testing
