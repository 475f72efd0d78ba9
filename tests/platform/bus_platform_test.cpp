// The Linux platform's notification centre and workspace on a private dbus-daemon, and
// the daemon going away.
#include <filesystem>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/notification_signal.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::platform {
namespace {

namespace fs = std::filesystem;
using quillbeam::testing::BusListener;
using quillbeam::testing::SignalRoute;
using ::testing::HasSubstr;
using ::testing::Optional;
using namespace testing;

constexpr const char* kState = "com.quillbeam.test.browserState";
constexpr const char* kCommand = "com.quillbeam.test.command";
constexpr const char* kApp = "com.quillbeam.test.App";

// The Linux platform on a private bus with a listener beside it; it must log nothing
// but what a test takes out of `log`.
class Bus : public ::testing::Test {
 protected:
  void TearDown() override {
    platform.reset();
    EXPECT_THAT(log, ::testing::IsEmpty());
  }
  bool turnUntil(const std::function<bool()>& done) { return runUntil(platform->loop(), done); }
  // The workspace's answers, turning the loop until they come.
  bool running(std::string_view app) {
    std::optional<bool> answer;
    platform->workspace().isRunning(app, [&](bool yes) { answer = yes; });
    EXPECT_TRUE(turnUntil([&] { return answer.has_value(); }));
    return answer.value_or(false);
  }
  std::optional<AppLocation> located(std::string_view app) {
    std::optional<std::optional<AppLocation>> answer;
    platform->workspace().locate(app, [&](std::optional<AppLocation> where) { answer = where; });
    EXPECT_TRUE(turnUntil([&] { return answer.has_value(); }));
    return answer.value_or(std::nullopt);
  }
  // Opens `app` and turns the loop until its completion has run.
  std::optional<std::string> open(const std::string& app) {
    std::optional<std::optional<std::string>> outcome;
    platform->workspace().openInBackground(
        AppLocation{AppLocation::Registered{app}},
        [&](std::optional<std::string> error) { outcome = std::move(error); });
    EXPECT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    return outcome.value_or("no completion");
  }

  quillbeam::testing::PrivateBus bus;
  BusListener listener{bus.address()};
  std::vector<std::string> log;
  std::unique_ptr<LinuxPlatform> platform = std::make_unique<LinuxPlatform>(
      [this](std::string_view line) { log.emplace_back(line); }, bus.address());
};

// Signals with the observed member from any sender and path, whatever their body.
TEST_F(Bus, ObserversHearTheirMemberFromAnySenderAndPathWithTheTextEntries) {
  std::vector<Notification> seen;
  platform->notifications().addObserver(kCommand,
                                        [&](const Notification& n) { seen.push_back(n); });
  // The daemon serves a connection's messages in order: the reply to a later call proves
  // the observer's match is in force.
  const auto barrier = [&] { running("com.quillbeam.test.Nobody"); };
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
      {[](auto* m) { return sd_bus_message_append(m, "a{sv}s", 1, "json", "s", "{}", "t"); },
       std::nullopt},
  };
  listener.emitRaw(other, bodies[0].first);
  listener.emitRaw(route, bodies[0].first);
  // That one reaches our socket before a synchronous call, which reads it into the
  // connection's queue with its own reply: nothing is left on the socket to wake the
  // loop, yet the signal must still be delivered.
  std::this_thread::sleep_for(100ms);
  barrier();
  for (size_t i = 1; i < std::size(bodies); ++i) listener.emitRaw(route, bodies[i].first);
  listener.emitRaw(elsewhere, bodies[0].first);
  BusListener(bus.address()).emit(kCommand, std::nullopt);
  ASSERT_TRUE(turnUntil([&] { return seen.size() >= std::size(bodies) + 2; }));
  turnsIn(platform->loop(), 100ms);
  ASSERT_EQ(seen.size(), std::size(bodies) + 2) << "the other member is not heard";
  for (size_t i = 0; i < std::size(bodies); ++i) EXPECT_EQ(seen[i].userInfo, bodies[i].second) << i;
  EXPECT_EQ(seen[std::size(bodies)].userInfo, bodies[0].second);
  EXPECT_EQ(seen[0].name, kCommand);
}

TEST_F(Bus, AnAppRunsWhileItsNameIsOwnedAndActivationStartsIt) {
  EXPECT_FALSE(running(kApp));
  EXPECT_EQ(located(kApp), std::nullopt);

  const auto marker = bus.scratchDir() / "started";
  bus.writeService(kApp,
                   std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) + " " + kApp + " " + marker.native());
  EXPECT_EQ(located(kApp), AppLocation{AppLocation::Registered{kApp}});
  EXPECT_EQ(open(kApp), std::nullopt);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(running(kApp));
  EXPECT_FALSE(running("com.quillbeam.test.app"));  // case-sensitive
  EXPECT_FALSE(running("not a bus name"));
  fs::remove(marker);
  EXPECT_EQ(open(kApp), std::nullopt) << "already running";
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_THAT(open("com.quillbeam.test.Missing"),
              Optional(HasSubstr("was not provided by any .service files")));
  bus.writeService("com.quillbeam.test.Failing", "/bin/sh -c 'exit 3'");
  EXPECT_THAT(open("com.quillbeam.test.Failing"), Optional(HasSubstr("exited with status 3")));
}

// Calls are made and answered first, so that a reply left registered would show.
TEST_F(Bus, GoingAwayTurnsNotificationsOffOnceWithoutSpinningTheLoop) {
  auto& loop = platform->loop();
  int commands = 0;
  platform->notifications().addObserver(kCommand, [&](const Notification&) { ++commands; });
  platform->notifications().post(kState, std::nullopt);
  platform->notifications().flush();
  turnsIn(loop, 200ms);
  bus.kill();
  ASSERT_TRUE(turnUntil([&] { return platform->sessionBus().get() == nullptr; }));
  // Posting, flushing and asking are no-ops now.
  platform->notifications().post(kState, std::nullopt);
  platform->notifications().flush();
  EXPECT_FALSE(running(kApp));
  EXPECT_EQ(located(kApp), std::nullopt);
  // A dead connection left on the loop would wake it over and over.
  EXPECT_LT(turnsIn(loop, 300ms), 45u);
  EXPECT_EQ(std::exchange(log, {}),
            std::vector<std::string>{"notifications are off: the session bus connection closed"});
  EXPECT_EQ(commands, 0);
}

}  // namespace
}  // namespace quillbeam::platform
