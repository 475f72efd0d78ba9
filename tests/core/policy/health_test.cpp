#include "quillbeam/policy/health.hpp"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace quillbeam {
namespace {

constexpr int64_t lastSeenMs = 1'700'000'000'000;
const Date lastSeen = Date::fromMs(lastSeenMs);

SessionSnapshot session(std::optional<int64_t> endsAt, std::optional<int64_t> breakUntil) {
  SessionSnapshot s;
  s.id = "s1";
  s.endsAt = endsAt;
  s.breakUntil = breakUntil;
  return s;
}

BrowserLink makeLink(bool connected, std::optional<int32_t> pid) {
  BrowserLink l;
  l.connected = connected;
  l.lastSeen = lastSeenMs;
  l.bridgePID = pid;
  return l;
}

// A bridgeAlive stand-in that answers `alive` and counts how often it is asked.
struct CountingAlive {
  bool alive = false;
  int calls = 0;
  Health::BridgeAlive predicate() {
    return [this](int32_t pid) {
      EXPECT_EQ(pid, 4242);
      ++calls;
      return alive;
    };
  }
};

struct Row {
  const char* what;
  bool connected;
  std::optional<int32_t> pid;
  bool alive;
  double age;
  bool isConnected;
  bool healthy;  // with the study browser running
};

class HealthTable : public ::testing::TestWithParam<Row> {};

TEST_P(HealthTable, ConnectedAndHealthyAtTheGraces) {
  const Row& row = GetParam();
  const std::optional<BrowserLink> l = makeLink(row.connected, row.pid);
  const Date now = lastSeen + row.age;
  // Asked exactly once when the link is connected and names a process, else never.
  const int expectedCalls = row.connected && row.pid ? 1 : 0;

  CountingAlive a{row.alive};
  EXPECT_EQ(Health::isConnected(l, now, a.predicate()), row.isConnected);
  EXPECT_EQ(a.calls, expectedCalls);
  CountingAlive b{row.alive};
  EXPECT_EQ(Health::extensionHealthy(l, true, now, b.predicate()), row.healthy);
  EXPECT_EQ(b.calls, expectedCalls);
  CountingAlive c{row.alive};
  EXPECT_TRUE(Health::extensionHealthy(l, false, now, c.predicate()));
  EXPECT_EQ(c.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Health, HealthTable,
    ::testing::Values(Row{"heartbeat_within", true, std::nullopt, false, 119.9, true, true},
                      Row{"heartbeat_at_grace", true, std::nullopt, false, 120.0, false, false},
                      Row{"dead_bridge_young", true, 4242, false, 1.0, false, true},
                      Row{"dead_bridge_within_reconnect", true, 4242, false, 19.9, false, true},
                      Row{"dead_bridge_at_reconnect", true, 4242, false, 20.0, false, false},
                      Row{"live_bridge_any_age", true, 4242, true, 1e9, true, true},
                      Row{"disconnected_young", false, std::nullopt, false, 10.0, false, true},
                      Row{"disconnected_with_pid", false, 4242, true, 10.0, false, true},
                      Row{"disconnected_at_reconnect", false, 4242, true, 20.0, false, false},
                      Row{"last_seen_in_future", true, std::nullopt, false, -300.0, true, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Health, AbsentLinkIsHealthyOnlyWithoutTheStudyBrowser) {
  CountingAlive a{true};
  EXPECT_FALSE(Health::isConnected(std::nullopt, lastSeen, a.predicate()));
  EXPECT_FALSE(Health::extensionHealthy(std::nullopt, true, lastSeen, a.predicate()));
  EXPECT_TRUE(Health::extensionHealthy(std::nullopt, false, lastSeen, a.predicate()));
  EXPECT_EQ(a.calls, 0);
}

TEST(Health, EffectiveSessionRunsUntilItsEndStrictly) {
  BrowserLink l = makeLink(true, std::nullopt);
  l.session = session(lastSeenMs + 60'000, std::nullopt);
  EXPECT_EQ(Health::effectiveSession(l, Date::fromMs(lastSeenMs + 59'999), std::nullopt),
            l.session);
  EXPECT_EQ(Health::effectiveSession(l, Date::fromMs(lastSeenMs + 60'000), std::nullopt),
            std::nullopt);
  EXPECT_EQ(Health::effectiveSession(std::nullopt, lastSeen, std::nullopt), std::nullopt);
  EXPECT_EQ(Health::effectiveSession(makeLink(true, 1), lastSeen, std::nullopt), std::nullopt);
}

TEST(Health, EffectiveSessionIgnoresConnectionAndBreaksButNotDismissal) {
  BrowserLink l = makeLink(false, std::nullopt);
  l.session = session(std::nullopt, lastSeenMs + 1'000);
  const Date later = lastSeen + 1e8;  // years on: a session without an end stays in force
  EXPECT_EQ(Health::effectiveSession(l, later, std::nullopt), l.session);
  EXPECT_EQ(Health::effectiveSession(l, later, "S1"), l.session);
  EXPECT_EQ(Health::effectiveSession(l, later, ""), l.session);
  EXPECT_EQ(Health::effectiveSession(l, later, "s1"), std::nullopt);
  const std::optional<std::string> owned = "s1";
  EXPECT_EQ(Health::effectiveSession(l, later, owned), std::nullopt);
}

}  // namespace
}  // namespace quillbeam
