// Bridges killed while they persist, several bridges persisting at once, and the bus
// daemon dying under a running bridge.
#include <signal.h>

#include <map>
#include <random>

#include "faults/fault_fixture.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using PersistFaults = BridgeFixture;
using NativeMessaging::frame;

std::string sessionID(char kind, int writer, int message) {
  return kind + std::to_string(writer) + "-m" + std::to_string(message);
}

// Killed with SIGKILL over and over while persisting a stream of states, with a reader
// re-reading the file all the while.
TEST_F(PersistFaults, EveryReadDecodesAndTheLastRecordSurvivesARestart) {
  constexpr int kills = 40, statesPerBridge = 60;
  SharedFiles::writeLink(BrowserLink(false, 1), linkPath());
  LinkWatcher watcher(linkPath());
  std::mt19937 random(20240607);
  int lastRound = -1;
  for (int round = 0; round < kills; ++round) {
    auto bridge = start();
    // One write of many frames keeps the bridge persisting until the kill lands.
    std::string burst;
    for (int m = 0; m < statesPerBridge; ++m) {
      burst += frame(stateJson(sessionJson(sessionID('r', round, m))));
    }
    bridge->sendRaw(burst);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
    ASSERT_EQ(::kill(bridge->pid(), SIGKILL), 0);
    bridge->wait();
    // What a killed bridge left is a whole record, and never older than the last one.
    const auto left = link();
    ASSERT_TRUE(left) << "round " << round << ": " << linkText();
    if (left->session) {
      EXPECT_GE(writerOf(left->session->id), lastRound);
      lastRound = writerOf(left->session->id);
    }
  }
  watcher.stop();
  EXPECT_EQ(watcher.problems, std::vector<std::string>{});
  EXPECT_GT(watcher.reads, size_t(kills));

  // A new bridge takes the stored record as it is into its disconnected record, and
  // removes no temporary file young enough to belong to a live writer.
  const auto before = link();
  end(*start());
  const auto after = link();
  ASSERT_TRUE(before && after);
  EXPECT_FALSE(after->connected);
  EXPECT_EQ(after->session, before->session);
  EXPECT_LE(temporaryLinkFiles(linkPath().parent_path()).size(), size_t(kills));
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
  LinkWatcher watcher(linkPath(), [&](const BrowserLink& link) -> std::optional<std::string> {
    if (!link.session) return std::nullopt;
    const int writer = writerOf(link.session->id);
    if (writer < 0) return "a session nobody sent";
    if (link.bridgePID && !indexOfPid.contains(*link.bridgePID)) return "an unknown bridgePID";
    if (link.bridgePID && indexOfPid.at(*link.bridgePID) != writer) return "a mixed record";
    return std::nullopt;
  });
  // Interleaved bursts, so that the bridges' writes overlap.
  for (int r = 0; r < rounds; ++r) {
    for (int b = 0; b < bridges; ++b) {
      std::string burst;
      for (int m = 0; m < statesPerRound; ++m) {
        burst += frame(stateJson(sessionJson(sessionID('b', b, r * statesPerRound + m))));
      }
      running[size_t(b)]->sendRaw(burst);
    }
  }
  for (auto& bridge : running) bridge->closeInput();
  for (auto& bridge : running) EXPECT_EQ(bridge->wait(), 0);
  watcher.stop();
  EXPECT_EQ(watcher.problems, std::vector<std::string>{});
  for (auto& bridge : running) EXPECT_EQ(bridge->errorText(), "");
  // The last writer's disconnected record, with its own last session.
  const auto last = link();
  ASSERT_TRUE(last && last->session);
  EXPECT_FALSE(last->connected);
  EXPECT_EQ(last->bridgePID, std::nullopt);
  EXPECT_EQ(last->session->id,
            sessionID('b', writerOf(last->session->id), rounds * statesPerRound - 1));
  EXPECT_EQ(temporaryLinkFiles(linkPath().parent_path()), std::vector<std::string>{});
}

// Notifications can no longer go out, but the extension is still served and the link
// file still written.
TEST_F(PersistFaults, TheBridgeKeepsServingWhenTheBusDaemonDies) {
  auto bridge = start();
  ASSERT_TRUE(hello(*bridge, "1.0"));
  ASSERT_TRUE(listener.waitForCount(1));
  bus.kill();
  bridge->send(stateJson(sessionJson("after-the-bus")));
  bridge->send("not json");
  ASSERT_TRUE(hello(*bridge, "2.0"));
  const auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(std::tuple(record->session->id, record->extensionVersion, record->bridgePID),
            std::tuple("after-the-bus", "2.0", bridge->pid()));
  bridge->send(stateJson(std::nullopt));
  end(*bridge);
  EXPECT_EQ(link(), BrowserLink(false, link()->lastSeen, "2.0"));
  // The bad message is the only line about a message; the bus may add its own.
  EXPECT_THAT(bridge->errorLines(),
              ::testing::Contains("quillbeam-bridge: ignoring undecodable message").Times(1));
}

}  // namespace
}  // namespace quillbeam::testing
