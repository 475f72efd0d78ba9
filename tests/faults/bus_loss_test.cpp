// The session bus daemon killed under a running bridge: notifications can no longer go
// out, but the extension is still served and the link file still written.
#include <algorithm>
#include <iostream>

#include "faults/fault_fixture.hpp"

namespace quillbeam::testing {
namespace {

using BusLoss = FaultFixture;

const std::string helloReply = R"({"type":"hello","protocol":1,"appVersion":"dev"})";

TEST_F(BusLoss, TheBridgeKeepsServingWhenTheDaemonDies) {
  auto bridge = start();
  bridge->send(R"({"type":"hello","extensionVersion":"1.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  ASSERT_TRUE(listener->waitForCount(1));

  listener.reset();
  bus->kill();

  // Several persists after the loss, with messages of every kind in between.
  bridge->send(stateJson(sessionJson("after-the-bus")));
  bridge->send("not json");
  bridge->send(R"({"type":"mystery"})");
  bridge->send(R"({"type":"hello","extensionVersion":"2.0"})");
  ASSERT_EQ(bridge->read(), helloReply);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "after-the-bus");
  EXPECT_EQ(record->extensionVersion, "2.0");
  EXPECT_TRUE(record->connected);
  EXPECT_EQ(record->bridgePID, bridge->pid());

  bridge->send(stateJson(std::nullopt));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  record = link();
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->connected);
  EXPECT_EQ(record->session, std::nullopt);
  // The one bad message is the only line about a message; the bus may add its own.
  const auto lines = bridge->errorLines();
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "quillbeam-bridge: ignoring undecodable message"), 1)
      << bridge->errorText();
  std::cout << "[ stderr ] " << bridge->errorText();
}

}  // namespace
}  // namespace quillbeam::testing
