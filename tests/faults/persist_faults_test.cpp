// Bridges killed while they persist, several bridges persisting at once, and storage that
// stops taking writes. (The bus daemon dying is tested on the platform, in process.)
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "bridge/bridge_fixture.hpp"

namespace quillbeam::testing {
namespace {

using PersistFaults = BridgeFixture;

// A reader in another process's shoes: re-reads the link file on its own thread until
// stopped (each read on one descriptor, which a rename over the path never changes), and
// keeps what it read; nothing for no file or no decodable record.
struct LinkWatcher {
  explicit LinkWatcher(std::filesystem::path file)
      : thread([this, file](std::stop_token stop) {
          while (!stop.stop_requested()) {
            reads.push_back(SharedFiles::readLink(file));
            // Leaves the bridges most of this busy machine's cores.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  std::vector<std::optional<BrowserLink>> reads;  // to read once `thread` is stopped
  std::jthread thread;
};

// States of sessions "<kind><writer>-m<n>" for `count` n from `first`, as one stream.
std::string burst(char kind, int writer, int first, int count) {
  std::string frames;
  for (int m = first; m < first + count; ++m) {
    frames +=
        frame(stateJson(sessionJson(kind + std::to_string(writer) + "-m" + std::to_string(m))));
  }
  return frames;
}

// The writer number in a session id made by burst.
int writerOf(const std::string& id) {
  return std::atoi(id.c_str() + 1);
}

// Killed with SIGKILL over and over while persisting a stream of states, with a reader
// re-reading the file all the while.
TEST_F(PersistFaults, EveryReadDecodesAndNoKillLeavesAnOlderRecord) {
  constexpr int kills = 40, statesPerBridge = 60;
  SharedFiles::writeLink(BrowserLink(false, 1), linkPath());
  LinkWatcher watcher(linkPath());
  std::mt19937 random(20240607);
  int lastRound = -1;
  for (int round = 0; round < kills; ++round) {
    auto bridge = start();
    // One write of many frames keeps the bridge persisting until the kill lands.
    bridge->sendRaw(burst('r', round, 0, statesPerBridge));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
    ASSERT_EQ(::kill(bridge->pid(), SIGKILL), 0);
    bridge->wait();
    // What a killed bridge left is a whole record, and never older than the last one.
    const auto left = link();
    ASSERT_TRUE(left) << "round " << round << ": " << readFile(linkPath());
    if (left->session) {
      EXPECT_GE(writerOf(left->session->id), lastRound);
      lastRound = writerOf(left->session->id);
    }
  }
  watcher.thread = {};
  EXPECT_GT(watcher.reads.size(), size_t(kills));
  EXPECT_EQ(std::count(watcher.reads.begin(), watcher.reads.end(), std::nullopt), 0);
}

// Each write replaces the whole record, so a reader always sees one bridge's record,
// never a mix: each connected record names its writer in bridgePID and its session id.
TEST_F(PersistFaults, ConcurrentBridgesLeaveOneBridgesWholeRecord) {
  constexpr int bridges = 3, rounds = 20, statesPerRound = 15;
  SharedFiles::writeLink(BrowserLink(false, 1), linkPath());
  std::vector<std::unique_ptr<BridgeProcess>> running;
  std::map<int32_t, int> indexOfPid;
  for (int b = 0; b < bridges; ++b) {
    running.push_back(start());
    indexOfPid[running.back()->pid()] = b;
  }
  LinkWatcher watcher(linkPath());
  // Interleaved bursts, so that the bridges' writes overlap.
  for (int r = 0; r < rounds; ++r) {
    for (int b = 0; b < bridges; ++b) {
      running[size_t(b)]->sendRaw(burst('b', b, r * statesPerRound, statesPerRound));
    }
  }
  for (auto& bridge : running) end(*bridge);
  watcher.thread = {};
  for (const auto& read : watcher.reads) {
    ASSERT_TRUE(read) << "a torn record";
    if (read->session && read->bridgePID) {
      EXPECT_EQ(indexOfPid.at(*read->bridgePID), writerOf(read->session->id)) << "a mixed record";
    }
  }
  for (auto& bridge : running) EXPECT_EQ(bridge->errorLines(), Lines{});
  // The last writer's disconnected record, with its own last session.
  const auto last = link();
  ASSERT_TRUE(last && last->session);
  const int writer = writerOf(last->session->id);
  EXPECT_EQ(linkIs(), "off b" + std::to_string(writer) + "-m" +
                          std::to_string(rounds * statesPerRound - 1) + " - -");
  EXPECT_EQ(temporaryLinkFiles(linkPath().parent_path()), Lines{});
}

// The shared directory on a small tmpfs that stops writes (read-only, then full) and then
// takes them again: the failed persist is logged, the earlier file stays whole, and the
// next persist writes the values the bridge holds by then. Mounting needs CAP_SYS_ADMIN.
TEST_F(PersistFaults, ReadOnlyOrFullKeepsTheEarlierFileAndTheNextPersistCatchesUp) {
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
    const std::string earlier = readFile(linkPath());
    if (full) {
      std::ofstream filler(dir / "filler");
      for (const std::string block(4096, 'x'); filler.write(block.data(), block.size());) {
      }
    } else {
      ASSERT_EQ(mount(MS_REMOUNT | MS_RDONLY), 0) << std::strerror(errno);
    }
    bridge->send(stateJson(sessionJson("while-failing")));
    ASSERT_TRUE(hello(*bridge, "2.0")) << "the reply still comes";
    EXPECT_EQ(readFile(linkPath()), earlier);
    const auto failed =
        AllOf(StartsWith("quillbeam-bridge: couldn't write browser link: "),
              HasSubstr(full ? "No space left on device" : "Read-only file system"));
    EXPECT_THAT(bridge->errorLines(), ElementsAre(failed, failed));
    // A failed write removes its temporary file, which also gives its space back.
    EXPECT_EQ(temporaryLinkFiles(dir), Lines{});

    if (full) {
      std::filesystem::remove(dir / "filler");
    } else {
      ASSERT_EQ(mount(MS_REMOUNT), 0) << std::strerror(errno);
    }
    ASSERT_TRUE(hello(*bridge, "3.0"));
    EXPECT_EQ(linkIs(bridge.get()), "on while-failing v3.0 self") << "values taken while failing";
    end(*bridge);
    EXPECT_EQ(linkIs(), "off while-failing v3.0 -");
    EXPECT_EQ(bridge->errorLines().size(), 2u);
  }
}

}  // namespace
}  // namespace quillbeam::testing
