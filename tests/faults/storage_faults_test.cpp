// The shared directory on a filesystem that stops writes (read-only, then full) and then
// takes them again: the failed persist is logged, the earlier file stays whole, and the
// next persist writes the values the bridge holds by then.
#include <filesystem>

#include "faults/fault_fixture.hpp"
#include "faults/link_watcher.hpp"
#include "faults/tmpfs_mount.hpp"

namespace quillbeam::testing {
namespace {

const std::string helloReply = R"({"type":"hello","protocol":1,"appVersion":"dev"})";
const std::string writeFailure = "quillbeam-bridge: couldn't write browser link: ";

class StorageFaults : public FaultFixture {
 protected:
  void SetUp() override {
    FaultFixture::SetUp();
    std::filesystem::create_directories(linkPath().parent_path());
    std::string why;
    mount = TmpfsMount::tryMount(linkPath().parent_path(), 64 * 1024, why);
    if (!mount) GTEST_SKIP() << why;
  }
  void TearDown() override {
    mount.reset();
    FaultFixture::TearDown();
  }

  // Lines that report a failed write, with the reason that follows the fixed text.
  static std::vector<std::string> writeFailures(const BridgeProcess& bridge) {
    std::vector<std::string> reasons;
    for (const auto& line : bridge.errorLines()) {
      if (line.starts_with(writeFailure)) reasons.push_back(line.substr(writeFailure.size()));
    }
    return reasons;
  }

  std::unique_ptr<TmpfsMount> mount;
};

TEST_F(StorageFaults, ReadOnlyThenWritableAgain) {
  auto bridge = start();
  bridge->send(R"({"type":"hello","extensionVersion":"1.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  const std::string earlier = linkText();
  ASSERT_TRUE(link());

  mount->setReadOnly(true);
  bridge->send(stateJson(sessionJson("while-read-only")));
  bridge->send(R"({"type":"hello","extensionVersion":"2.0"})");
  // The reply still comes, after the failed persist.
  ASSERT_EQ(bridge->read(), helloReply);
  EXPECT_EQ(linkText(), earlier);
  const auto reasons = writeFailures(*bridge);
  ASSERT_EQ(reasons.size(), 2u) << bridge->errorText();
  EXPECT_NE(reasons[0].find("Read-only file system"), std::string::npos) << reasons[0];

  mount->setReadOnly(false);
  bridge->send(R"({"type":"mystery"})");  // unknown: not persisted
  bridge->send(R"({"type":"hello","extensionVersion":"3.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  auto now = link();
  ASSERT_TRUE(now && now->session);
  EXPECT_EQ(now->session->id, "while-read-only") << "values taken while unwritable are written";
  EXPECT_EQ(now->extensionVersion, "3.0");
  EXPECT_EQ(now->bridgePID, bridge->pid());

  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_FALSE(link()->connected);
  EXPECT_EQ(writeFailures(*bridge).size(), 2u);
  EXPECT_EQ(temporaryLinkFiles(linkPath().parent_path()), std::vector<std::string>{});
}

TEST_F(StorageFaults, DiskFullKeepsTheEarlierFileWhole) {
  auto bridge = start();
  bridge->send(stateJson(sessionJson("before-full")));
  bridge->send(R"({"type":"hello","extensionVersion":"1.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  const std::string earlier = linkText();
  ASSERT_TRUE(link());

  const auto filler = linkPath().parent_path() / "filler";
  ASSERT_GT(fillUp(filler), 0u);
  bridge->send(stateJson(sessionJson("while-full")));
  bridge->send(R"({"type":"hello","extensionVersion":"2.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  EXPECT_EQ(linkText(), earlier);
  const auto reasons = writeFailures(*bridge);
  ASSERT_EQ(reasons.size(), 2u) << bridge->errorText();
  EXPECT_NE(reasons[0].find("No space left on device"), std::string::npos) << reasons[0];
  // A failed write removes its temporary file, which also gives its space back.
  EXPECT_EQ(temporaryLinkFiles(linkPath().parent_path()), std::vector<std::string>{});

  std::filesystem::remove(filler);
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  auto last = link();
  ASSERT_TRUE(last && last->session);
  EXPECT_EQ(last->session->id, "while-full");
  EXPECT_EQ(last->extensionVersion, "2.0");
  EXPECT_FALSE(last->connected);
}

}  // namespace
}  // namespace quillbeam::testing
