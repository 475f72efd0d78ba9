#include "platform/linux/bus_notification_center.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop_driver.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/notification_signal.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

extern char** environ;

namespace quillbeam::bridge::platform {
namespace {

using quillbeam::testing::BusListener;
using quillbeam::testing::PrivateBus;
using quillbeam::testing::SignalRoute;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::LogLines;
using testing::runUntil;
using ::testing::StartsWith;

constexpr const char* kState = "com.quillbeam.test.browserState";
constexpr const char* kCommand = "com.quillbeam.test.command";

class NotificationsOnABus : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = std::make_unique<BusListener>(bus.address());
    platform = std::make_unique<LinuxPlatform>(log.sink(), bus.address());
  }
  void TearDown() override {
    platform.reset();
    EXPECT_THAT(log.lines(), ::testing::IsEmpty());
  }

  // Runs the loop until the listener has `count` signals.
  bool receive(size_t count) {
    return runUntil(platform->eventLoop(), [&] { return listener->received().size() >= count; });
  }

  // Returns once every match the platform asked for is in force: the daemon serves one
  // connection's messages in order, so a reply to a later call proves the earlier ones.
  void barrier() {
    bool answered = false;
    platform->workspace().isRunning("com.quillbeam.test.Nobody", [&](bool) { answered = true; });
    runUntil(platform->eventLoop(), [&] { return answered; });
  }

  PrivateBus bus;
  LogLines log;
  std::unique_ptr<BusListener> listener;
  std::unique_ptr<LinuxPlatform> platform;
};

TEST_F(NotificationsOnABus, PostIsABroadcastSignalOnTheMappedRouteWithAnEmptyBody) {
  listener->subscribe(kState);
  platform->notifications().post(kState, std::nullopt);
  ASSERT_TRUE(receive(1));
  const auto signal = listener->received().at(0);
  EXPECT_EQ(signal.path, "/com/quillbeam/test");
  EXPECT_EQ(signal.interface, "com.quillbeam.test");
  EXPECT_EQ(signal.member, "browserState");
  EXPECT_EQ(signal.signature, "");
  EXPECT_FALSE(signal.json.has_value());
}

TEST_F(NotificationsOnABus, PostWithUserInfoCarriesItAsStringVariants) {
  listener->subscribe(kCommand);
  platform->notifications().post(
      kCommand, std::map<std::string, std::string>{{"json", R"({"type":"open-quit"})"}});
  ASSERT_TRUE(receive(1));
  const auto signal = listener->received().at(0);
  EXPECT_EQ(signal.signature, "a{sv}");
  EXPECT_EQ(signal.json, R"({"type":"open-quit"})");
}

// Posted straight after construction, while the handshake is still in flight: the
// signals are pipelined behind it.
TEST_F(NotificationsOnABus, PostBeforeTheHandshakeCompletesStillArrives) {
  listener->subscribe(kState);
  for (int i = 0; i < 3; ++i) platform->notifications().post(kState, std::nullopt);
  ASSERT_TRUE(receive(3));
}

TEST_F(NotificationsOnABus, FlushSendsWhatIsQueuedWithoutTheLoopRunning) {
  listener->subscribe(kState);
  for (int i = 0; i < 5; ++i) platform->notifications().post(kState, std::nullopt);
  platform->notifications().flush();
  // The loop never ran: only flush can have completed the handshake and sent them.
  EXPECT_TRUE(listener->waitForCount(5));
}

TEST_F(NotificationsOnABus, EverySignalPostedBeforeExitLeavesAfterFlush) {
  listener->subscribe(kState);
  // A separate process posts right after start-up, flushes and ends with _exit, as the
  // bridge does at the end of its input.
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    if (std::string_view(*e).rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0)
      environment.emplace_back(*e);
  }
  environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = QUILLBEAM_TEST_POST_AND_EXIT;
  std::string count = "50";
  char* argv[] = {program.data(), count.data(), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(listener->waitForCount(50));
  const auto signals = listener->received();
  EXPECT_EQ(signals.size(), 50u);
  EXPECT_EQ(signals.back().json, "49");
}

TEST_F(NotificationsOnABus, ObserverGetsTheJsonTextOfACommandOnTheLoopThread) {
  std::vector<Notification> seen;
  bool offThread = false;
  const auto mainThread = std::this_thread::get_id();
  platform->notifications().addObserver(kCommand, [&](const Notification& n) {
    if (std::this_thread::get_id() != mainThread) offThread = true;
    seen.push_back(n);
  });
  barrier();
  listener->emit(kCommand, std::map<std::string, std::string>{{"json", R"({"type":"x"})"}});
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return seen.size() == 1; }));
  EXPECT_FALSE(offThread);
  EXPECT_EQ(seen[0].name, kCommand);
  ASSERT_TRUE(seen[0].userInfo.has_value());
  EXPECT_EQ(seen[0].userInfo->at("json"), R"({"type":"x"})");
}

TEST_F(NotificationsOnABus, ObserverMatchesAnySenderAndPathButOnlyItsMember) {
  std::vector<Notification> seen;
  platform->notifications().addObserver(kCommand,
                                        [&](const Notification& n) { seen.push_back(n); });
  barrier();
  auto route = SignalRoute::of(kCommand);
  auto other = route;
  other.member = "browserState";
  auto elsewhere = route;
  elsewhere.path = "/somewhere/else";
  auto text = [](const char* value) {
    return [value](sd_bus_message* m) {
      return sd_bus_message_append(m, "a{sv}", 1, "json", "s", value);
    };
  };
  listener->emitRaw(other, text("ignored"));
  listener->emitRaw(elsewhere, text("from elsewhere"));
  BusListener second(bus.address());
  second.emitRaw(route, text("second sender"));
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return seen.size() == 2; }));
  runUntil(
      platform->eventLoop(), [] { return false; }, std::chrono::milliseconds(100));
  ASSERT_EQ(seen.size(), 2u);
  std::vector<std::string> texts;
  for (const auto& n : seen) texts.push_back(n.userInfo.value().at("json").value_or("-"));
  EXPECT_THAT(texts, ::testing::UnorderedElementsAre("from elsewhere", "second sender"));
}

// The signal reaches our socket before a synchronous call, which reads it into the
// connection's queue along with its own reply: nothing is left on the socket to wake the
// loop, yet the signal must still be delivered.
TEST_F(NotificationsOnABus, ACommandReadDuringASynchronousCallIsStillDelivered) {
  std::vector<Notification> seen;
  platform->notifications().addObserver(kCommand,
                                        [&](const Notification& n) { seen.push_back(n); });
  barrier();
  listener->emit(kCommand, std::map<std::string, std::string>{{"json", "{}"}});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  barrier();
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return seen.size() == 1; }));
}

struct BodyCase {
  const char* label;
  std::function<int(sd_bus_message*)> write;
  std::optional<UserInfo> expected;
};

class ObserverBodies : public NotificationsOnABus,
                       public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ObserverBodies, UserInfoReflectsTheBodyShape) {
  std::vector<Notification> seen;
  platform->notifications().addObserver(kCommand,
                                        [&](const Notification& n) { seen.push_back(n); });
  barrier();
  listener->emitRaw(SignalRoute::of(kCommand), GetParam().write);
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return seen.size() == 1; }));
  EXPECT_EQ(seen[0].userInfo, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ObserverBodies,
    ::testing::Values(
        BodyCase{"Empty", [](sd_bus_message*) { return 0; }, std::nullopt},
        BodyCase{"EmptyDictionary",
                 [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 0); },
                 UserInfo{}},
        BodyCase{"TextAndOtherKeys",
                 [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 2, "json", "s", "{}", "extra", "s",
                                                "kept");
                 },
                 UserInfo{{"json", "{}"}, {"extra", "kept"}}},
        BodyCase{
            "NumberHasNoText",
            [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 1, "json", "i", 7); },
            UserInfo{{"json", std::nullopt}}},
        BodyCase{"DictionaryHasNoText",
                 [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 1, "json", "a{sv}", 1, "type", "s",
                                                "x");
                 },
                 UserInfo{{"json", std::nullopt}}},
        BodyCase{"ObjectPathHasNoText",
                 [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 1, "json", "o", "/a");
                 },
                 UserInfo{{"json", std::nullopt}}},
        BodyCase{"NestedVariantHasNoText",
                 [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 1, "json", "v", "s", "{}");
                 },
                 UserInfo{{"json", std::nullopt}}},
        BodyCase{"BareString",
                 [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "{}"); },
                 std::nullopt},
        BodyCase{
            "StringDictionary",
            [](sd_bus_message* m) { return sd_bus_message_append(m, "a{ss}", 1, "json", "{}"); },
            std::nullopt},
        BodyCase{"DictionaryAndMore",
                 [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}s", 1, "json", "s", "{}", "tail");
                 },
                 std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Without a usable bus --------------------------------------------------------------

struct NoBusCase {
  const char* label;
  std::optional<std::string> address;
  const char* reason;
};

class WithoutABus : public ::testing::TestWithParam<NoBusCase> {};

TEST_P(WithoutABus, SaysSoOnceAndEverythingElseStillWorks) {
  LogLines log;
  LinuxPlatform platform(log.sink(), GetParam().address);
  auto& center = platform.notifications();
  int commands = 0;
  center.addObserver(kCommand, [&](const Notification&) { ++commands; });
  center.post(kState, std::nullopt);
  center.post(kCommand, std::map<std::string, std::string>{{"json", "{}"}});
  center.flush();
  std::optional<bool> running;
  std::optional<std::optional<AppLocation>> found;
  platform.workspace().isRunning("com.quillbeam.test.App", [&](bool r) { running = r; });
  platform.workspace().locate("com.quillbeam.test.App", [&](auto app) { found = app; });
  std::optional<std::optional<std::string>> launched;
  platform.workspace().openInBackground(
      AppLocation{AppLocation::Registered{"com.quillbeam.test.App"}},
      [&](std::optional<std::string> error) { launched = std::move(error); });

  int ran = 0;
  platform.loop().post([&] { ++ran; });
  ASSERT_TRUE(runUntil(platform.eventLoop(), [&] {
    return ran == 1 && launched.has_value() && running.has_value() && found.has_value();
  }));
  EXPECT_EQ(running, false);
  EXPECT_EQ(*found, std::nullopt);
  EXPECT_THAT(*launched, ::testing::Optional(::testing::Not(::testing::IsEmpty())));
  EXPECT_THAT(log.lines(), ElementsAre(StartsWith("notifications are off: ")));
  EXPECT_THAT(log.lines().at(0), HasSubstr(GetParam().reason));
  EXPECT_EQ(commands, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, WithoutABus,
    ::testing::Values(
        NoBusCase{"Unset", std::nullopt, "DBUS_SESSION_BUS_ADDRESS is not set"},
        NoBusCase{"Empty", std::string(), "DBUS_SESSION_BUS_ADDRESS is not set"},
        NoBusCase{"NoSocket", std::string("unix:path=/nonexistent/quillbeam/bus"),
                  "couldn't connect to the session bus: No such file or directory"},
        NoBusCase{"Garbage", std::string("not-an-address"), "couldn't connect to the session bus"},
        NoBusCase{"NoUnixSocket", std::string("tcp:host=localhost,port=1"),
                  "couldn't connect to the session bus: the bus address names no Unix socket"},
        NoBusCase{"PathTooLong", "unix:path=/" + std::string(200, 'x'),
                  "couldn't connect to the session bus: File name too long"}),
    [](const auto& info) { return std::string(info.param.label); });

// The bridge registers its command observer at start-up and a companion that sees its
// first signal may send a command at once: the match must be in place by then.
TEST_F(NotificationsOnABus, AnObserverAddedFirstHearsCommandsSentOnceOurFirstSignalIsSeen) {
  std::vector<Notification> seen;
  platform->notifications().addObserver(kCommand,
                                        [&](const Notification& n) { seen.push_back(n); });
  listener->subscribe(kState);
  platform->notifications().post(kState, std::nullopt);
  auto& loop = platform->eventLoop();
  ASSERT_TRUE(runUntil(loop, [&] { return listener->received().size() == 1; }));
  listener->emit(kCommand, std::map<std::string, std::string>{{"json", R"({"type":"x"})"}});
  ASSERT_TRUE(runUntil(loop, [&] { return seen.size() == 1; }));
  EXPECT_EQ(seen[0].userInfo.value().at("json"), R"({"type":"x"})");
}

TEST(BusGoingAway, TurnsNotificationsOffOnceWithoutSpinningOrStoppingTheLoop) {
  PrivateBus bus;
  BusListener listener(bus.address());
  listener.subscribe(kState);
  LogLines log;
  LinuxPlatform platform(log.sink(), bus.address());
  auto& loop = platform.eventLoop();
  int commands = 0;
  platform.notifications().addObserver(kCommand, [&](const Notification&) { ++commands; });
  platform.notifications().post(kState, std::nullopt);
  ASSERT_TRUE(runUntil(loop, [&] { return listener.received().size() == 1; }));

  bus.kill();
  ASSERT_TRUE(runUntil(loop, [&] { return !log.lines().empty(); }));
  EXPECT_THAT(log.lines(), ElementsAre("notifications are off: the session bus connection closed"));
  runUntil(loop, [&] { return platform.sessionBus().get() == nullptr; });
  EXPECT_EQ(platform.sessionBus().get(), nullptr);

  // Posting and flushing are no-ops now; blocks still run.
  platform.notifications().post(kState, std::nullopt);
  platform.notifications().flush();
  std::optional<bool> running;
  platform.workspace().isRunning("com.quillbeam.test.App", [&](bool r) { running = r; });
  int ran = 0;
  loop.post([&] { ++ran; });
  ASSERT_TRUE(runUntil(loop, [&] { return ran == 1 && running.has_value(); }));
  EXPECT_EQ(running, false);

  // A dead connection left on the loop would wake it over and over.
  const uint64_t before = loop.turns();
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
    loop.turn(std::chrono::milliseconds(100));
  }
  EXPECT_LT(loop.turns() - before, 20u);
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(commands, 0);
}

}  // namespace
}  // namespace quillbeam::bridge::platform
