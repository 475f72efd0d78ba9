#include "quillbeam/policy/health.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quillbeam/policy/bridge_alive.hpp"

namespace quillbeam {
namespace {

const int64_t lastSeen = 1'700'000'000'000;

TEST(Health, ConnectedAndHealthyAtTheGraces) {
  struct Row {
    bool connected;
    std::optional<int32_t> pid;
    bool alive;
    double age;
    bool isConnected, healthy;  // healthy with the study browser running
  };
  for (const Row& r :
       {Row{true, {}, false, 119.9, true, true},  // heartbeat grace
        Row{true, {}, false, 120, false, false},
        Row{true, 42, false, 19.9, false, true},  // reconnect grace
        Row{true, 42, false, 20, false, false}, Row{true, 42, true, 1e9, true, true},
        Row{false, 42, true, 19.9, false, true}, Row{false, {}, false, 20, false, false},
        Row{true, {}, false, -300, true, true}}) {
    const BrowserLink link{r.connected, lastSeen, {}, {}, r.pid};
    const Date now = Date::fromMs(lastSeen) + r.age;
    int calls = 0;
    const auto alive = [&](int32_t pid) {
      ++calls;
      return pid == 42 && r.alive;
    };
    SCOPED_TRACE(::testing::Message() << r.connected << " " << r.pid.has_value() << " " << r.age);
    EXPECT_EQ(Health::isConnected(link, now, alive), r.isConnected);
    EXPECT_EQ(Health::extensionHealthy(link, true, now, alive), r.healthy);
    EXPECT_TRUE(Health::extensionHealthy(link, false, now, alive));  // without the browser
    EXPECT_EQ(calls, r.connected && r.pid ? 2 : 0);  // asked only for a connected bridge
  }
  EXPECT_FALSE(Health::isConnected(std::nullopt, Date::now(), Health::bridgeAlive));
  EXPECT_FALSE(Health::extensionHealthy(std::nullopt, true, Date::now(), Health::bridgeAlive));
  EXPECT_TRUE(Health::extensionHealthy(std::nullopt, false, Date::now(), Health::bridgeAlive));
}

TEST(Health, EffectiveSessionRunsUntilItsEndUnlessDismissed) {
  SessionSnapshot s;
  s.id = "s1";
  s.endsAt = lastSeen + 60'000;
  const BrowserLink link{false, lastSeen, {}, s};  // neither connection nor age matters
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen + 59'999), std::nullopt), s);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen + 60'000), std::nullopt),
            std::nullopt);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen), "S1"), s);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen), "s1"), std::nullopt);
  EXPECT_EQ(Health::effectiveSession(BrowserLink{}, Date::fromMs(lastSeen), {}), std::nullopt);
}

TEST(BridgeAlive, OnlyARunningProcessIsAlive) {
  EXPECT_TRUE(Health::bridgeAlive(::getpid()));
  EXPECT_TRUE(Health::bridgeAlive(1));
  // kill() would take these as process groups, or every process, and report success.
  for (int32_t pid : {0, -1, -::getpgrp(), INT32_MIN}) EXPECT_FALSE(Health::bridgeAlive(pid));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(Health::bridgeAlive(child));  // a zombie
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(Health::bridgeAlive(child));  // reaped
}

}  // namespace
}  // namespace quillbeam
