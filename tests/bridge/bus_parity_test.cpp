// The real bridge on buses that desktops have and the fixture's defaults do not show: found
// through the runtime directory, behind the sandbox proxy, and stopped for a while.
#include <signal.h>

#include <cstdio>
#include <thread>

#include "bridge_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using BusParity = BridgeFixture;

TEST_F(BusParity, WithoutTheVariableTheBusInTheRuntimeDirectoryIsUsed) {
  auto o = options();
  o.busAddress.reset();
  o.runtimeDir = bus->scratchDir().native();
  BridgeProcess bridge(o);
  bridge.send(stateJson(std::nullopt));
  EXPECT_TRUE(listener->waitForCount(1)) << ::testing::PrintToString(bridge.errorLines());
}

TEST_F(BusParity, BehindTheSandboxProxyTheBridgeConnects) {
  if (!fs::exists("/usr/bin/xdg-dbus-proxy")) GTEST_SKIP() << "xdg-dbus-proxy is not installed";
  const auto socket = bus->scratchDir() / "proxy";
  // It says 'x' on --fd once it listens, and ends when that descriptor's reader goes.
  FILE* proxy = ::popen(
      ("exec xdg-dbus-proxy '" + bus->address() + "' " + socket.native() + " --fd=1").c_str(), "r");
  ASSERT_EQ(std::fgetc(proxy), 'x');
  auto o = options();
  o.busAddress = "unix:path=" + socket.native();
  BridgeProcess bridge(o);
  bridge.send(stateJson(std::nullopt));
  EXPECT_TRUE(listener->waitForCount(1));
  bridge.send(stateJson(sessionJson("behind-the-proxy")));
  EXPECT_TRUE(listener->waitForCount(2));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_THAT(bridge.errorLines(), ::testing::IsEmpty());
  ::pclose(proxy);
}

TEST_F(BusParity, AStoppedBusHoldsNoBrowserMessageAndTheLaunchFollowsItsReturn) {
  const auto marker = bus->scratchDir() / "companion-started";
  bus->writeService("com.quillbeam.mac", std::string(QUILLBEAM_NAME_OWNER_PATH) +
                                             " com.quillbeam.mac " + marker.native());
  auto bridge = start();
  bridge->send(stateJson(std::nullopt));
  ASSERT_TRUE(listener->waitForCount(1));
  ::kill(bus->daemonPid(), SIGSTOP);
  bridge->send(stateJson(sessionJson("while-stopped")));
  bridge->send(R"({"type":"hello"})");
  const auto reply = bridge->read();
  const auto stored = link();
  ::kill(bus->daemonPid(), SIGCONT);
  EXPECT_TRUE(reply.has_value());
  EXPECT_EQ(stored && stored->session ? stored->session->id : "", "while-stopped");
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       !fs::exists(marker) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(fs::exists(marker));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_THAT(bridge->errorLines(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace quillbeam::testing
