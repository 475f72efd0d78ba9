// The Linux platform's notification centre and workspace on a private dbus-daemon, and
// the daemon going away.
#include <chrono>
#include <filesystem>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/notification_signal.hpp"

namespace quillbeam::bridge::platform {
namespace {

namespace fs = std::filesystem;
using quillbeam::testing::BusListener;
using quillbeam::testing::PrivateBus;
using quillbeam::testing::SignalRoute;
using testing::LogLines;
using ::testing::Optional;
using testing::runUntil;
using Bus = testing::PlatformOnABus;

constexpr const char* kState = "com.quillbeam.test.browserState";
constexpr const char* kCommand = "com.quillbeam.test.command";
constexpr const char* kApp = "com.quillbeam.test.App";

AppLocation registered(std::string name) {
  return AppLocation{AppLocation::Registered{std::move(name)}};
}

// Opens `app` and turns the loop until its completion has run.
std::optional<std::string> open(LinuxPlatform& platform, const AppLocation& app) {
  std::optional<std::optional<std::string>> outcome;
  platform.workspace().openInBackground(
      app, [&](std::optional<std::string> error) { outcome = std::move(error); });
  EXPECT_TRUE(runUntil(platform.eventLoop(), [&] { return outcome.has_value(); }));
  return outcome.value_or("no completion");
}

// Posted straight after start-up, while the handshake is in flight, and flushed with the
// loop never turned: as the bridge does when its input is already at its end.
TEST_F(Bus, PostsAreBroadcastSignalsOnTheMappedRouteAndFlushSendsThem) {
  listener.subscribe(kState);
  listener.subscribe(kCommand);
  platform->notifications().post(kState, std::nullopt);
  platform->notifications().post(
      kCommand, std::map<std::string, std::string>{{"json", R"({"type":"open-quit"})"}});
  platform->notifications().flush();
  ASSERT_TRUE(listener.waitForCount(2));
  const auto state = listener.received().at(0), command = listener.received().at(1);
  EXPECT_EQ(std::tie(state.path, state.interface, state.member, state.signature),
            std::tuple("/com/quillbeam/test", "com.quillbeam.test", "browserState", ""));
  EXPECT_EQ(std::tie(command.member, command.signature, command.json),
            std::tuple("command", "a{sv}", R"({"type":"open-quit"})"));
}

// Signals with the observed member from any sender and path, whatever their body, on the
// loop's thread.
TEST_F(Bus, ObserversHearTheirMemberFromAnySenderAndPathWithTheTextEntries) {
  std::vector<Notification> seen;
  bool offThread = false;
  platform->notifications().addObserver(
      kCommand, [&, main = std::this_thread::get_id()](const Notification& n) {
        offThread |= std::this_thread::get_id() != main;
        seen.push_back(n);
      });
  // The daemon serves a connection's messages in order: the reply to a later call proves
  // the observer's match is in force.
  const auto barrier = [&] { platform->workspace().isRunning("com.quillbeam.test.Nobody"); };
  barrier();
  const auto route = SignalRoute::of(kCommand);
  auto other = route, elsewhere = route;
  other.member = "browserState";
  elsewhere.path = "/somewhere/else";
  using Body = std::function<int(sd_bus_message*)>;
  const std::pair<Body, std::optional<UserInfo>> bodies[] = {
      {[](auto* m) {
         return sd_bus_message_append(m, "a{sv}", 2, "json", "s", "{}", "x", "s", "y");
       },
       UserInfo{{"json", "{}"}, {"x", "y"}}},
      {[](auto*) { return 0; }, std::nullopt},
      {[](auto* m) { return sd_bus_message_append(m, "a{sv}", 1, "json", "i", 7); },
       UserInfo{{"json", std::nullopt}}},
      {[](auto* m) { return sd_bus_message_append(m, "a{sv}", 1, "json", "v", "s", "{}"); },
       UserInfo{{"json", std::nullopt}}},
      {[](auto* m) { return sd_bus_message_append(m, "s", "{}"); }, std::nullopt},
      {[](auto* m) { return sd_bus_message_append(m, "a{ss}", 1, "json", "{}"); }, std::nullopt},
      {[](auto* m) { return sd_bus_message_append(m, "a{sv}s", 1, "json", "s", "{}", "t"); },
       std::nullopt},
  };
  listener.emitRaw(other, bodies[0].first);
  listener.emitRaw(route, bodies[0].first);
  // That one reaches our socket before a synchronous call, which reads it into the
  // connection's queue with its own reply: nothing is left on the socket to wake the
  // loop, yet the signal must still be delivered.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  barrier();
  for (size_t i = 1; i < std::size(bodies); ++i) listener.emitRaw(route, bodies[i].first);
  listener.emitRaw(elsewhere, bodies[0].first);
  BusListener(bus.address()).emit(kCommand, std::nullopt);
  ASSERT_TRUE(turnUntil([&] { return seen.size() >= std::size(bodies) + 2; }));
  runUntil(
      platform->eventLoop(), [] { return false; }, std::chrono::milliseconds(100));
  ASSERT_EQ(seen.size(), std::size(bodies) + 2) << "the other member is not heard";
  for (size_t i = 0; i < std::size(bodies); ++i) EXPECT_EQ(seen[i].userInfo, bodies[i].second) << i;
  EXPECT_EQ(seen[std::size(bodies)].userInfo, bodies[0].second);
  EXPECT_EQ(seen[0].name, kCommand);
  EXPECT_FALSE(offThread);
}

TEST_F(Bus, AnAppRunsWhileItsNameIsOwnedAndActivationStartsIt) {
  auto& workspace = platform->workspace();
  EXPECT_FALSE(workspace.isRunning(kApp));
  EXPECT_EQ(workspace.locate(kApp), std::nullopt);
  BusListener app(bus.address());
  app.requestName(kApp);
  EXPECT_TRUE(workspace.isRunning(kApp));
  EXPECT_FALSE(workspace.isRunning("com.quillbeam.test.app"));  // case-sensitive
  EXPECT_FALSE(workspace.isRunning("not a bus name"));
  app.releaseName(kApp);
  EXPECT_FALSE(workspace.isRunning(kApp));

  const auto marker = bus.scratchDir() / "started";
  bus.writeService(kApp,
                   std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) + " " + kApp + " " + marker.native());
  EXPECT_EQ(workspace.locate(kApp), registered(kApp));
  EXPECT_EQ(open(*platform, registered(kApp)), std::nullopt);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(workspace.isRunning(kApp));
  fs::remove(marker);
  EXPECT_EQ(open(*platform, registered(kApp)), std::nullopt) << "already running";
  EXPECT_FALSE(fs::exists(marker));

  EXPECT_THAT(open(*platform, registered("com.quillbeam.test.Missing")),
              Optional(::testing::HasSubstr("was not provided by any .service files")));
  bus.writeService("com.quillbeam.test.Failing", "/bin/sh -c 'exit 3'");
  EXPECT_THAT(open(*platform, registered("com.quillbeam.test.Failing")),
              Optional(::testing::HasSubstr("exited with status 3")));
}

TEST(BusGoingAway, TurnsNotificationsOffOnceWithoutSpinningTheLoop) {
  PrivateBus bus;
  LogLines log;
  LinuxPlatform platform(log.sink(), bus.address());
  auto& loop = platform.eventLoop();
  int commands = 0;
  platform.notifications().addObserver(kCommand, [&](const Notification&) { ++commands; });
  platform.notifications().post(kState, std::nullopt);
  platform.notifications().flush();
  runUntil(
      loop, [] { return false; }, std::chrono::milliseconds(200));  // replies handled
  bus.kill();
  ASSERT_TRUE(runUntil(loop, [&] { return platform.sessionBus().get() == nullptr; }));
  // Posting, flushing and asking are no-ops now.
  platform.notifications().post(kState, std::nullopt);
  platform.notifications().flush();
  EXPECT_FALSE(platform.workspace().isRunning(kApp));
  // A dead connection left on the loop would wake it over and over.
  const uint64_t before = loop.turns();
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
    loop.turn(std::chrono::milliseconds(100));
  }
  EXPECT_LT(loop.turns() - before, 20u);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"notifications are off: the session bus connection closed"});
  EXPECT_EQ(commands, 0);
}

}  // namespace
}  // namespace quillbeam::bridge::platform
