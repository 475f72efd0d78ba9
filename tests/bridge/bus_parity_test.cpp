// The real bridge on buses that desktops have and the fixture's defaults do not show: found
// through the runtime directory, behind the sandbox proxy, and stopped for a while.
#include <signal.h>

#include <cstdio>

#include "bridge_fixture.hpp"

namespace quillbeam::testing {
namespace {

using BusParity = BridgeFixture;

TEST_F(BusParity, WithoutTheVariableTheBusInTheRuntimeDirectoryIsUsed) {
  auto o = options();
  o.busAddress.reset();
  o.runtimeDir = bus.scratchDir().native();
  BridgeProcess bridge(o);
  bridge.send(stateJson(std::nullopt));
  EXPECT_TRUE(listener.waitForCount(1)) << ::testing::PrintToString(bridge.errorLines());
}

TEST_F(BusParity, BehindTheSandboxProxyTheBridgeConnects) {
  const auto program = busTool("xdg-dbus-proxy");
  if (!program) GTEST_SKIP() << busToolMissing("xdg-dbus-proxy");
  const auto socket = bus.scratchDir() / "proxy";
  // It says 'x' on --fd once it listens, and ends when that descriptor's reader goes.
  FILE* proxy = ::popen(
      ("exec '" + program->native() + "' '" + bus.address() + "' " + socket.native() + " --fd=1")
          .c_str(),
      "r");
  ASSERT_NE(proxy, nullptr);
  ASSERT_EQ(std::fgetc(proxy), 'x');
  auto o = options();
  o.busAddress = "unix:path=" + socket.native();
  BridgeProcess bridge(o);
  bridge.send(stateJson(std::nullopt));
  bridge.send(stateJson(sessionJson("behind-the-proxy")));
  EXPECT_TRUE(listener.waitForCount(2));
  end(bridge);
  EXPECT_THAT(bridge.errorLines(), ::testing::IsEmpty());
  ::pclose(proxy);
}

TEST_F(BusParity, AStoppedBusHoldsNoBrowserMessageAndTheLaunchFollowsItsReturn) {
  const auto marker = bus.scratchDir() / "companion-started";
  bus.writeService("com.quillbeam.mac", std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) +
                                            " com.quillbeam.mac " + marker.native());
  auto bridge = start();
  bridge->send(stateJson(std::nullopt));
  ASSERT_TRUE(listener.waitForCount(1));
  ::kill(bus.daemonPid(), SIGSTOP);
  bridge->send(stateJson(sessionJson("while-stopped")));
  const bool answered = hello(*bridge);
  const std::string stored = linkIs(bridge.get());
  ::kill(bus.daemonPid(), SIGCONT);
  EXPECT_TRUE(answered);
  EXPECT_EQ(stored, "on while-stopped v self");
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(marker); }));
  end(*bridge);
  EXPECT_THAT(bridge->errorLines(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace quillbeam::testing
