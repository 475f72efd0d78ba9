// Finding and launching the companion app, against a scripted workspace.
#include "companion_launcher.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace quillbeam::bridge {
namespace {

namespace fs = std::filesystem;
using platform::AppLocation;

class ScriptedWorkspace : public platform::Workspace {
 public:
  bool running = false;
  std::optional<AppLocation> installed;
  std::optional<std::string> launchError;
  int runningChecks = 0;
  int lookups = 0;
  std::vector<AppLocation> opened;

  void isRunning(std::string_view bundleID, std::function<void(bool)> answer) override {
    ++runningChecks;
    EXPECT_EQ(bundleID, "com.quillbeam.mac");
    answer(running);
  }
  void locate(std::string_view bundleID,
              std::function<void(std::optional<AppLocation>)> answer) override {
    ++lookups;
    EXPECT_EQ(bundleID, "com.quillbeam.mac");
    answer(installed);
  }
  void openInBackground(const AppLocation& app,
                        std::function<void(std::optional<std::string>)> completion) override {
    opened.push_back(app);
    completion(launchError);
  }
};

std::optional<AppLocation> bundleURL(const CompanionLauncher& launcher) {
  std::optional<AppLocation> found;
  launcher.appBundleURL([&](std::optional<AppLocation> app) { found = std::move(app); });
  return found;
}

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillbeam-launch-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    values.appBundleID = "com.quillbeam.mac";
  }
  void TearDown() override { fs::remove_all(root); }

  fs::path makeBundleBridge(const std::string& bundleName) {
    fs::path macos = root / bundleName / "Contents" / "MacOS";
    fs::create_directories(macos);
    std::ofstream(macos / "quillbeam_bridge") << "#";
    return macos / "quillbeam_bridge";
  }
  static AppLocation bundle(const fs::path& p) { return AppLocation{{AppLocation::Bundle{p}}}; }

  fs::path root;
  ProcessValues values;
  ScriptedWorkspace workspace;
};

TEST_F(Launcher, BundleThreeLevelsUpWithExactAppExtension) {
  CompanionLauncher inBundle(values, workspace, makeBundleBridge("Quillbeam.app"));
  EXPECT_EQ(bundleURL(inBundle), bundle(fs::canonical(root) / "Quillbeam.app"));
  EXPECT_EQ(workspace.lookups, 0);

  // Another app's bundle is taken all the same: its identity is not checked.
  CompanionLauncher other(values, workspace, makeBundleBridge("Other.app"));
  EXPECT_EQ(bundleURL(other), bundle(fs::canonical(root) / "Other.app"));
}

TEST_F(Launcher, SymlinksAreResolvedFirst) {
  fs::path real = makeBundleBridge("Quillbeam.app");
  fs::create_symlink(real, root / "on-path");
  CompanionLauncher launcher(values, workspace, root / "on-path");
  EXPECT_EQ(bundleURL(launcher), bundle(fs::canonical(root) / "Quillbeam.app"));
}

TEST_F(Launcher, OtherwiseTheSystemDecides) {
  workspace.installed = AppLocation{{AppLocation::Registered{"com.quillbeam.mac"}}};
  for (const fs::path& exe : {makeBundleBridge("Quillbeam.APP"), makeBundleBridge("plain"),
                              fs::path("/usr/bin/quillbeam_bridge"), fs::path()}) {
    CompanionLauncher launcher(values, workspace, exe);
    EXPECT_EQ(bundleURL(launcher), workspace.installed) << exe;
  }
  CompanionLauncher noArguments(values, workspace, std::nullopt);
  EXPECT_EQ(bundleURL(noArguments), workspace.installed);
  workspace.installed.reset();
  EXPECT_EQ(bundleURL(noArguments), std::nullopt);
}

TEST_F(Launcher, RunningAppIsNeitherLookedUpNorOpened) {
  workspace.running = true;
  workspace.installed = AppLocation{{AppLocation::Registered{"com.quillbeam.mac"}}};
  CompanionLauncher launcher(values, workspace, std::nullopt);
  launcher.ensureAppRunning();
  EXPECT_EQ(workspace.lookups, 0);
  EXPECT_TRUE(workspace.opened.empty());
}

TEST_F(Launcher, EveryCallChecksAfreshAndOpensWhenNeeded) {
  workspace.installed = AppLocation{{AppLocation::Registered{"com.quillbeam.mac"}}};
  CompanionLauncher launcher(values, workspace, std::nullopt);
  launcher.ensureAppRunning();
  launcher.ensureAppRunning();
  EXPECT_EQ(workspace.runningChecks, 2);
  EXPECT_EQ(workspace.opened.size(), 2u);
  workspace.installed.reset();
  launcher.ensureAppRunning();
  EXPECT_EQ(workspace.opened.size(), 2u) << "nothing to open when nothing is found";
}

}  // namespace
}  // namespace quillbeam::bridge
