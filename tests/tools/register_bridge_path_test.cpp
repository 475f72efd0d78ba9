// The bridge path that goes into the manifest: the default, and the paths refused.
#include <gmock/gmock.h>

#include <fstream>

#include "register_tool_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST_F(RegisterToolTest, DefaultsToTheBridgeInstalledBesideTheTool) {
  makeProfile("chromium");
  // An install tree: the tool and a bridge side by side in one bin folder.
  const fs::path bin = root / "prefix" / "bin";
  fs::create_directories(bin);
  fs::copy_file(tool(), bin / "quillbeam-register");
  fs::copy_file(bridge, bin / "quillbeam_bridge");

  const auto result = runProgram({bin / "quillbeam-register", {}, environment, root.path()});

  EXPECT_EQ(result.exitCode, 0) << result.err;
  ASSERT_TRUE(readManifest(userManifest("chromium")));
  EXPECT_EQ(readManifest(userManifest("chromium"))->path, (bin / "quillbeam_bridge").string());
}

TEST_F(RegisterToolTest, WithoutAnInstalledBridgeItSaysHowToGetOne) {
  makeProfile("chromium");
  const fs::path bin = root / "lonely";
  fs::create_directories(bin);
  fs::copy_file(tool(), bin / "quillbeam-register");

  const auto result = runProgram({bin / "quillbeam-register", {}, environment, root.path()});

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_THAT(result.err, HasSubstr((bin / "quillbeam_bridge").string()));
  EXPECT_THAT(result.err, HasSubstr("cmake --install"));
  EXPECT_THAT(result.err, HasSubstr("--bridge"));
  EXPECT_THAT(manifestsOnDisk(), IsEmpty());
}

struct RefusedBridge {
  std::string name;
  // Makes the path below the scratch root and returns what to pass to --bridge.
  std::function<std::string(const fs::path& root, const fs::path& bridge)> make;
  std::vector<std::string> advice;
};

class RegisterRefusedBridgeTest : public RegisterToolTest,
                                  public ::testing::WithParamInterface<RefusedBridge> {};

TEST_P(RegisterRefusedBridgeTest, IsRefusedWithAdviceAndNothingWritten) {
  makeProfile("chromium");
  const std::string path = GetParam().make(root.path(), bridge);
  const auto before = snapshot();

  const auto result = run({"--bridge", path});

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_THAT(result.err, HasSubstr(path));
  for (const auto& advice : GetParam().advice) EXPECT_THAT(result.err, HasSubstr(advice));
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RegisterRefusedBridgeTest,
    ::testing::Values(
        RefusedBridge{"Relative",
                      [](const fs::path&, const fs::path&) { return "bin/quillbeam_bridge"; },
                      // The tool runs in the scratch root: the advice is the absolute path.
                      {"relative", "absolute"}},
        RefusedBridge{"NotExecutable",
                      [](const fs::path& root, const fs::path&) {
                        std::ofstream(root / "plain") << "#!/bin/sh\n";
                        return (root / "plain").string();
                      },
                      {"not executable", "chmod +x"}},
        RefusedBridge{"Missing",
                      [](const fs::path& root, const fs::path&) {
                        return (root / "nowhere" / "quillbeam_bridge").string();
                      },
                      {"no bridge at", "absolute path"}},
        RefusedBridge{"Folder",
                      [](const fs::path& root, const fs::path&) { return (root / "bin").string(); },
                      {"not a file"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(RegisterToolTest, TheRelativePathAdviceNamesTheAbsolutePath) {
  const auto result = run({"--bridge", "bin/quillbeam_bridge"});

  EXPECT_THAT(result.err, HasSubstr("--bridge \"" + bridge.string() + "\""));
}

TEST_F(RegisterToolTest, ASymlinkedBridgeIsKeptAsGiven) {
  makeProfile("chromium");
  const fs::path link = root / "bin" / "current-bridge";
  fs::create_symlink(bridge, link);

  ASSERT_EQ(run({"--bridge", link.string()}).exitCode, 0);

  ASSERT_TRUE(readManifest(userManifest("chromium")));
  EXPECT_EQ(readManifest(userManifest("chromium"))->path, link.string());
}

}  // namespace
}  // namespace quillbeam::testing
