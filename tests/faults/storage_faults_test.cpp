// The shared directory on a small tmpfs that stops writes (read-only, then full) and then
// takes them again: the failed persist is logged, the earlier file stays whole, and the
// next persist writes the values the bridge holds by then. Mounting needs CAP_SYS_ADMIN.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "faults/fault_fixture.hpp"

namespace quillbeam::testing {
namespace {

using StorageFaults = BridgeFixture;

TEST_F(StorageFaults, ReadOnlyOrFullKeepsTheEarlierFileAndTheNextPersistCatchesUp) {
  const auto dir = linkPath().parent_path();
  const auto mount = [&](unsigned long flags) {
    return ::mount("quillbeam-faults", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | flags,
                   "size=65536,mode=0755");
  };
  std::filesystem::create_directories(dir);
  if (mount(0) != 0) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  // Lazily, so that a descriptor still open somewhere cannot keep the mount behind.
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(dir.c_str(), MNT_DETACH); });
  for (const bool full : {false, true}) {
    auto bridge = start();
    ASSERT_TRUE(hello(*bridge, "1.0"));
    const std::string earlier = linkText();
    if (full) {
      std::ofstream filler(dir / "filler");
      for (const std::string block(4096, 'x'); filler.write(block.data(), block.size());) {
      }
    } else {
      ASSERT_EQ(mount(MS_REMOUNT | MS_RDONLY), 0) << std::strerror(errno);
    }
    bridge->send(stateJson(sessionJson("while-failing")));
    ASSERT_TRUE(hello(*bridge, "2.0")) << "the reply still comes";
    EXPECT_EQ(linkText(), earlier);
    const std::string failure = "quillbeam-bridge: couldn't write browser link: ";
    const std::string reason = full ? "No space left on device" : "Read-only file system";
    EXPECT_THAT(bridge->errorLines(),
                ::testing::ElementsAre(StartsWith(failure), StartsWith(failure)));
    EXPECT_THAT(bridge->errorText(), HasSubstr(reason));
    // A failed write removes its temporary file, which also gives its space back.
    EXPECT_EQ(temporaryLinkFiles(dir), std::vector<std::string>{});

    if (full) {
      std::filesystem::remove(dir / "filler");
    } else {
      ASSERT_EQ(mount(MS_REMOUNT), 0) << std::strerror(errno);
    }
    bridge->send(R"({"type":"mystery"})");  // unknown: not persisted
    ASSERT_TRUE(hello(*bridge, "3.0"));
    const auto now = link();
    ASSERT_TRUE(now && now->session);
    EXPECT_EQ(std::tuple(now->session->id, now->extensionVersion, now->bridgePID),
              std::tuple("while-failing", "3.0", bridge->pid()))
        << "values taken while failing are written";
    end(*bridge);
    EXPECT_FALSE(link()->connected);
    EXPECT_EQ(bridge->errorLines().size(), 2u);
  }
}

}  // namespace
}  // namespace quillbeam::testing
