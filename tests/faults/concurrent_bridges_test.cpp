// Several bridges persisting at once into the same browser-link.json: each write replaces
// the whole record, so a reader always sees one bridge's record, never a mix.
#include <unistd.h>

#include <charconv>
#include <map>

#include "faults/fault_fixture.hpp"
#include "faults/link_watcher.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using ConcurrentBridges = FaultFixture;

constexpr int bridges = 3;
constexpr int rounds = 20;
constexpr int statesPerRound = 15;

std::string sessionID(int bridge, int message) {
  return "b" + std::to_string(bridge) + "-m" + std::to_string(message);
}

int bridgeOf(const std::string& id) {
  int bridge = -1;
  if (id.size() > 1 && id[0] == 'b') std::from_chars(id.data() + 1, id.data() + id.size(), bridge);
  return bridge;
}

TEST_F(ConcurrentBridges, TheFileIsAlwaysOneBridgesWholeRecord) {
  SharedFiles::writeLink(BrowserLink(false, 1), linkPath());

  std::vector<std::unique_ptr<BridgeProcess>> running;
  std::map<int32_t, int> indexOfPid;
  for (int b = 0; b < bridges; ++b) {
    running.push_back(start());
    indexOfPid[running.back()->pid()] = b;
  }
  // Each connected record names its writer twice: in bridgePID and in its session id.
  LinkWatcher watcher(linkPath(),
                      [&indexOfPid](const BrowserLink& link) -> std::optional<std::string> {
                        if (!link.session) return std::nullopt;
                        const int writer = bridgeOf(link.session->id);
                        if (writer < 0) return "a session nobody sent";
                        if (link.bridgePID) {
                          auto it = indexOfPid.find(*link.bridgePID);
                          if (it == indexOfPid.end()) return "an unknown bridgePID";
                          if (it->second != writer)
                            return "one bridge's pid with another's session";
                        }
                        return std::nullopt;
                      });

  // Interleaved bursts, so that the bridges' writes overlap.
  for (int r = 0; r < rounds; ++r) {
    for (int b = 0; b < bridges; ++b) {
      std::string burst;
      for (int m = 0; m < statesPerRound; ++m) {
        burst +=
            NativeMessaging::frame(stateJson(sessionJson(sessionID(b, r * statesPerRound + m))));
      }
      running[b]->sendRaw(burst);
    }
  }
  for (auto& bridge : running) bridge->closeInput();
  for (auto& bridge : running) EXPECT_EQ(bridge->wait(), 0);
  watcher.stop();

  EXPECT_EQ(watcher.problems(), std::vector<std::string>{});
  EXPECT_GT(watcher.reads(), 0u);
  for (auto& bridge : running) EXPECT_EQ(bridge->errorText(), "");

  // The last writer's disconnected record, with its own last session.
  const auto last = link();
  ASSERT_TRUE(last && last->session);
  EXPECT_FALSE(last->connected);
  EXPECT_EQ(last->bridgePID, std::nullopt);
  const int writer = bridgeOf(last->session->id);
  EXPECT_EQ(last->session->id, sessionID(writer, rounds * statesPerRound - 1));
  // Every write was renamed into place or removed: no temporary file stays behind.
  EXPECT_EQ(temporaryLinkFiles(linkPath().parent_path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace quillbeam::testing
