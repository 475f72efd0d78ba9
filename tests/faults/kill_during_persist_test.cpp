// Bridges killed with SIGKILL while they persist a stream of state messages, over and
// over, with a reader re-reading browser-link.json all the while.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <iostream>
#include <random>

#include "faults/fault_fixture.hpp"
#include "faults/link_watcher.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using namespace std::chrono_literals;
using KillDuringPersist = FaultFixture;

constexpr int kills = 40;
constexpr int statesPerBridge = 60;

std::string sessionID(int round, int message) {
  return "r" + std::to_string(round) + "-m" + std::to_string(message);
}

// The round a session id of sessionID() belongs to.
int roundOf(const std::string& id) {
  int round = -1;
  if (id.size() > 1 && id[0] == 'r') std::from_chars(id.data() + 1, id.data() + id.size(), round);
  return round;
}

TEST_F(KillDuringPersist, EveryReadDecodesAndTheLastRecordSurvivesARestart) {
  SharedFiles::writeLink(BrowserLink(false, 1, std::nullopt, std::nullopt), linkPath());
  LinkWatcher watcher(linkPath(), [](const BrowserLink& link) -> std::optional<std::string> {
    if (link.session && roundOf(link.session->id) < 0) return "a session nobody sent";
    return std::nullopt;
  });

  std::mt19937 random(20240607);
  int lastRound = -1;
  for (int round = 0; round < kills; ++round) {
    auto bridge = start();
    // One write of many frames keeps the bridge persisting until the kill lands.
    std::string burst;
    for (int m = 0; m < statesPerBridge; ++m) {
      burst += NativeMessaging::frame(stateJson(sessionJson(sessionID(round, m))));
    }
    bridge->sendRaw(burst);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
    ASSERT_EQ(::kill(bridge->pid(), SIGKILL), 0);
    bridge->wait();

    // What a killed bridge left is a whole record, and never older than the last one.
    auto left = link();
    ASSERT_TRUE(left) << "round " << round << ": " << linkText();
    if (left->session) {
      const int seen = roundOf(left->session->id);
      EXPECT_GE(seen, lastRound);
      lastRound = seen;
    }
  }
  watcher.stop();
  EXPECT_EQ(watcher.problems(), std::vector<std::string>{});
  EXPECT_GT(watcher.reads(), static_cast<size_t>(kills));

  // Nothing is lost: a new bridge takes the stored record as it is and carries it into its
  // disconnected record.
  const auto before = link();
  ASSERT_TRUE(before);
  auto bridge = start();
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  const auto after = link();
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->connected);
  EXPECT_EQ(after->session, before->session);

  // A kill between the creation of the temporary file and its rename leaves that file
  // behind; nothing else does.
  const auto stale = temporaryLinkFiles(linkPath().parent_path());
  std::cout << "[ temp files ] " << stale.size() << " temporary files left after " << kills
            << " kills\n";
  RecordProperty("temporary_files_left", static_cast<int>(stale.size()));
  EXPECT_LE(stale.size(), static_cast<size_t>(kills));
}

}  // namespace
}  // namespace quillbeam::testing
