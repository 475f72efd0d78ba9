// The shared directory on a small tmpfs that stops writes (read-only, then full) and then
// takes them again: the failed persist is logged, the earlier file stays whole, and the
// next persist writes the values the bridge holds by then. Needs CAP_SYS_ADMIN to mount.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "faults/fault_fixture.hpp"

namespace quillbeam::testing {
namespace {

class StorageFaults : public BridgeFixture {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir);
    if (mountTmpfs(0) != 0) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    mounted = true;
  }
  ~StorageFaults() override {
    // Lazily, so that a descriptor still open somewhere cannot keep the mount behind.
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
  }
  int mountTmpfs(unsigned long flags) const {
    return ::mount("quillbeam-faults", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | flags,
                   "size=65536,mode=0755");
  }
  // The reasons of the lines that report a failed write.
  static std::vector<std::string> writeFailures(const BridgeProcess& bridge) {
    const std::string failure = "quillbeam-bridge: couldn't write browser link: ";
    std::vector<std::string> reasons;
    for (const auto& line : bridge.errorLines()) {
      if (line.starts_with(failure)) reasons.push_back(line.substr(failure.size()));
    }
    return reasons;
  }

  const std::filesystem::path dir = linkPath().parent_path();
  bool mounted = false;
};

TEST_F(StorageFaults, ReadOnlyOrFullKeepsTheEarlierFileAndTheNextPersistCatchesUp) {
  for (const bool full : {false, true}) {
    auto bridge = start();
    bridge->send(R"({"type":"hello","extensionVersion":"1.0"})");
    ASSERT_EQ(bridge->read(), helloReply);
    const std::string earlier = linkText();
    ASSERT_TRUE(link());
    if (full) {
      std::ofstream filler(dir / "filler");
      for (const std::string block(4096, 'x'); filler.write(block.data(), block.size());) {
      }
    } else {
      ASSERT_EQ(mountTmpfs(MS_REMOUNT | MS_RDONLY), 0) << std::strerror(errno);
    }
    bridge->send(stateJson(sessionJson("while-failing")));
    bridge->send(R"({"type":"hello","extensionVersion":"2.0"})");
    ASSERT_EQ(bridge->read(), helloReply) << "the reply still comes";
    EXPECT_EQ(linkText(), earlier);
    const auto reasons = writeFailures(*bridge);
    ASSERT_EQ(reasons.size(), 2u) << bridge->errorText();
    const char* reason = full ? "No space left on device" : "Read-only file system";
    EXPECT_NE(reasons[0].find(reason), std::string::npos) << reasons[0];
    // A failed write removes its temporary file, which also gives its space back.
    EXPECT_EQ(temporaryLinkFiles(dir), std::vector<std::string>{});

    if (full) {
      std::filesystem::remove(dir / "filler");
    } else {
      ASSERT_EQ(mountTmpfs(MS_REMOUNT), 0) << std::strerror(errno);
    }
    bridge->send(R"({"type":"mystery"})");  // unknown: not persisted
    bridge->send(R"({"type":"hello","extensionVersion":"3.0"})");
    ASSERT_EQ(bridge->read(), helloReply);
    const auto now = link();
    ASSERT_TRUE(now && now->session);
    EXPECT_EQ(now->session->id, "while-failing") << "values taken while failing are written";
    EXPECT_EQ(now->extensionVersion, "3.0");
    EXPECT_EQ(now->bridgePID, bridge->pid());
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(), 0);
    EXPECT_FALSE(link()->connected);
    EXPECT_EQ(writeFailures(*bridge).size(), 2u);
  }
}

}  // namespace
}  // namespace quillbeam::testing
