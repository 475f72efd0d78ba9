// Companion commands on the bus reach the extension through the real bridge.
#include <systemd/sd-bus.h>

#include "bridge_fixture.hpp"
#include "quillbeam/session/companion_notification.hpp"

namespace quillbeam::testing {
namespace {

using namespace std::chrono_literals;

class Relay : public BridgeFixture {
 protected:
  // Starts the bridge and waits until its command subscription is in place: the bus
  // handles a connection's requests in order, so once its first signal arrives, the
  // match it asked for earlier is installed.
  std::unique_ptr<BridgeProcess> startServing() {
    auto bridge = start();
    bridge->send(R"({"type":"state","session":null})");
    EXPECT_TRUE(listener->waitForCount(1));
    return bridge;
  }
  void command(const std::string& json) {
    listener->emit(CompanionNotification::command,
                   std::map<std::string, std::string>{{"json", json}});
  }
};

TEST_F(Relay, ValidCommandsArriveByteForByte) {
  auto bridge = startServing();
  const std::string commands[] = {
      R"({"type":"open-quit"})",
      R"({ "type" : "focus-course", "unknown": {"kept": [1, 2.5, "x"]} })",
      R"({"type":"app-blocked","app":"Steam","note":"é ✓"})",
      R"({"type":"start","draft":{"goal":"Essay","anchors":["example.org"],"mode":"goal",)"
      R"("strictness":"gentle","milestones":["intro"]}})",
      R"({"type":"hello","protocol":3})",
  };
  for (const auto& c : commands) {
    command(c);
    EXPECT_EQ(bridge->read(), c);
  }
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
}

TEST_F(Relay, MalformedAndUnusableCommandsAreDropped) {
  auto bridge = startServing();
  command(R"({"type":"ping"})");
  command(R"({"type":"start"})");
  command("not json");
  // Not text under "json", other keys only, or another body shape: ignored silently.
  listener->emitRaw(SignalRoute::of(CompanionNotification::command), [](sd_bus_message* m) {
    return sd_bus_message_append(m, "a{sv}", 1, "json", "i", 42);
  });
  listener->emit(CompanionNotification::command,
                 std::map<std::string, std::string>{{"other", "x"}});
  listener->emit(CompanionNotification::command, std::nullopt);
  listener->emitRaw(SignalRoute::of(CompanionNotification::command), [](sd_bus_message* m) {
    return sd_bus_message_append(m, "s", R"({"type":"open-quit"})");
  });
  command(R"({"type":"open-quit"})");
  EXPECT_EQ(bridge->read(), R"({"type":"open-quit"})") << "only the last command goes out";
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  std::vector<std::string> malformed(3, "quillbeam-bridge: ignoring malformed command");
  EXPECT_EQ(bridge->errorLines(), malformed);
}

TEST_F(Relay, OutgoingLimitIsExactlyOneMebibyte) {
  auto bridge = startServing();
  const std::string head = R"({"type":"open-quit","pad":")";
  const std::string tail = R"("})";
  const std::string fits = head + std::string(1048576 - head.size() - tail.size(), 'x') + tail;
  const std::string over = head + std::string(1048577 - head.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(fits.size(), 1048576u);
  command(over);
  command(fits);
  auto got = bridge->read();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), fits.size());
  EXPECT_TRUE(*got == fits);
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorLines(),
            std::vector<std::string>{"quillbeam-bridge: dropping oversized message"});
}

TEST_F(Relay, CommandsFlowWhileDisconnectedOrBeforeHello) {
  std::filesystem::create_directories(linkPath().parent_path());
  SharedFiles::writeLink(BrowserLink(false, 1), linkPath());
  auto bridge = start();
  // No message from the extension yet: wait for the subscription through a second
  // listener-visible event instead, by polling the relay itself.
  std::optional<std::string> got;
  for (int attempt = 0; attempt < 50 && !got; ++attempt) {
    command(R"({"type":"focus-course"})");
    got = bridge->read(200ms);
  }
  EXPECT_EQ(got, R"({"type":"focus-course"})");
  EXPECT_FALSE(link()->connected) << "relaying writes nothing";
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
}

}  // namespace
}  // namespace quillbeam::testing
