#include "platform/linux/event_loop.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>

#include "loop_driver.hpp"

namespace quillbeam::platform {
namespace {

using namespace testing;

// Blocks posted from other threads run once each, on the loop's thread, in each thread's
// order; a block posted from a block or a before-wait hook runs after those waiting.
TEST(EventLoop, RunsPostedBlocksOnceEachInOrderOnItsThread) {
  EventLoop loop;
  std::vector<std::string> seen(3);
  int hooks = 0;
  auto hook = loop.beforeWait([&] {
    if (++hooks == 1) loop.post([&] { seen[2] += 'h'; });
  });
  loop.post([&] { loop.post([&] { seen[2] += 'b'; }); });
  loop.post([&] { seen[2] += 'a'; });
  std::string expected;
  for (char c = ' '; c <= '~'; ++c) expected += c;
  std::vector<std::thread> posters;
  for (size_t t = 0; t < 2; ++t) {
    posters.emplace_back([&, t, main = std::this_thread::get_id()] {
      for (char c : expected) {
        loop.post([&, t, c, main] { seen[t] += std::this_thread::get_id() == main ? c : '!'; });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(
      runUntil(loop, [&] { return seen[0].size() + seen[1].size() + seen[2].size() == 193; }));
  EXPECT_EQ(seen, (std::vector<std::string>{expected, expected, "ahb"}));
  // Nothing runs twice; a turn with nothing to do waits out its timeout.
  hook.reset();
  const int hooked = hooks;
  EXPECT_LT(turnsIn(loop, 200ms), 30u);
  EXPECT_EQ(seen[2], "ahb");
  EXPECT_EQ(hooks, hooked);
}

TEST(EventLoop, AWatchHearsWhatItAskedForUntilItEnds) {
  EventLoop loop;
  UniqueFd ends[2][2];  // read and write end of two pipes
  for (auto& pipe : ends) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    pipe[0].reset(fds[0]);
    pipe[1].reset(fds[1]);
  }
  const auto put = [&](size_t pipe, char c) { EXPECT_EQ(write(ends[pipe][1].get(), &c, 1), 1); };
  std::string seen;
  std::unique_ptr<EventLoop::Watch> watches[2];
  for (size_t i = 0; i < 2; ++i) {
    watches[i] = loop.watch(ends[i][0].get(), EPOLLIN, [&, i](uint32_t events) {
      for (char c = 0; events & EPOLLIN && read(ends[i][0].get(), &c, 1) == 1;) seen += c;
      // The first ends the other watch, whose event, taken from the kernel in the same
      // turn, must then be dropped, not delivered to a freed callback.
      if (seen.size() > 2) watches[1 - i].reset();
    });
  }
  put(0, 'a');
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "a"; }));
  // Interest can be dropped and taken up again; nothing is lost in between.
  watches[0]->setEvents(0);
  put(0, 'b');
  loop.turn(50ms);
  EXPECT_EQ(seen, "a");
  watches[0]->setEvents(EPOLLIN);
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "ab"; }));
  put(0, 'x');
  put(1, 'y');
  ASSERT_TRUE(runUntil(loop, [&] { return seen.size() > 2; }));
  loop.turn(50ms);
  EXPECT_TRUE(seen == "abx" || seen == "aby") << seen;
}

using Clock = EventLoop::Clock;
using TimerPtr = std::unique_ptr<EventLoop::Timer>;

struct TimerCase {
  const char* name;
  Clock clock;
  int firings;
  bool armedAfter;
  std::function<void(TimerPtr&)> arm;
  // What the timer does when it fires for the `nth` time.
  std::function<void(TimerPtr&, int nth)> onFired = {};
};

void PrintTo(const TimerCase& c, std::ostream* out) {
  *out << c.name;
}

// An expiry that happened before a cancel, a new setting or the end of the timer, but was
// not heard yet, must not be heard.
void passExpiry(TimerPtr& timer) {
  timer->once(0ns);
  std::this_thread::sleep_for(2ms);
}

template <typename TimePoint>
std::chrono::nanoseconds sinceEpoch(TimePoint instant) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(instant.time_since_epoch());
}

const TimerCase timerCases[] = {
    {"OnceFiresOnce", Clock::monotonic, 1, false, [](TimerPtr& t) { t->once(1ms); }},
    {"EveryRepeats", Clock::monotonic, 3, false, [](TimerPtr& t) { t->every(1ms); },
     [](TimerPtr& t, int nth) {
       EXPECT_TRUE(t->armed() && t->repeating());
       if (nth == 3) t->cancel();
     }},
    {"OnceReplacesEvery", Clock::monotonic, 1, false,
     [](TimerPtr& t) {
       t->every(1ms);
       t->once(1ms);
     }},
    {"ALaterOnceReplacesAPassedOne", Clock::realtime, 0, true,
     [](TimerPtr& t) {
       passExpiry(t);
       t->once(1h);
     }},
    {"CancelSilences", Clock::monotonic, 0, false,
     [](TimerPtr& t) {
       passExpiry(t);
       t->cancel();
     }},
    {"DestructionSilences", Clock::monotonic, 0, false,
     [](TimerPtr& t) {
       passExpiry(t);
       t.reset();
     }},
    {"PassedRealtimeInstantFiresAtOnce", Clock::realtime, 1, false,
     [](TimerPtr& t) { t->onceAt(sinceEpoch(std::chrono::system_clock::now()) - 1h); }},
    {"SetsItselfAgainWhenFired", Clock::monotonic, 3, false, [](TimerPtr& t) { t->once(1ms); },
     [](TimerPtr& t, int nth) {
       if (nth < 3) t->once(1ms);
     }},
    {"DestroysItselfWhenFired", Clock::monotonic, 1, false, [](TimerPtr& t) { t->every(1ms); },
     [](TimerPtr& t, int) { t.reset(); }},
};

class EventLoopTimer : public ::testing::TestWithParam<TimerCase> {};

TEST_P(EventLoopTimer, FiresAsSet) {
  const TimerCase& c = GetParam();
  EventLoop loop;
  int firings = 0;
  TimerPtr timer;
  timer = loop.timer(c.clock, [&] {
    ++firings;
    if (c.onFired) c.onFired(timer, firings);
  });
  EXPECT_FALSE(timer->armed());
  c.arm(timer);
  ASSERT_TRUE(runUntil(loop, [&] { return firings >= c.firings; }));
  turnsIn(loop, 50ms);
  EXPECT_EQ(firings, c.firings);
  if (timer) {
    EXPECT_EQ(timer->armed(), c.armedAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EventLoopTimer, ::testing::ValuesIn(timerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Both expire before the loop looks; the first heard cancels the other, whose expiry,
// taken from the kernel in the same turn, must then be dropped.
TEST(EventLoop, AnExpiryCancelledEarlierInItsTurnIsDropped) {
  EventLoop loop;
  int firings = 0;
  TimerPtr timers[2];
  for (size_t i = 0; i < 2; ++i) {
    timers[i] = loop.timer(Clock::monotonic, [&, i] {
      ++firings;
      timers[1 - i]->cancel();
    });
    timers[i]->once(0ns);
  }
  std::this_thread::sleep_for(2ms);
  turnsIn(loop, 50ms);
  EXPECT_EQ(firings, 1);
}

std::atomic<int> handled{0};

// Raised signals wait for the loop, which hands each over with its number; the handler
// they would otherwise reach never runs.
TEST(EventLoop, HearsSignalsOnTheLoop) {
  EventLoop loop;
  struct sigaction handler {};
  handler.sa_handler = [](int) { ++handled; };
  struct sigaction old[2];
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &old[0]), 0);
  ASSERT_EQ(sigaction(SIGUSR2, &handler, &old[1]), 0);
  std::multiset<int> heard;
  auto subscription = loop.onSignals({SIGUSR1, SIGUSR2}, [&](int signo) { heard.insert(signo); });
  ASSERT_EQ(raise(SIGUSR1), 0);
  ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
  EXPECT_TRUE(heard.empty());
  EXPECT_TRUE(runUntil(loop, [&] { return heard.size() >= 2; }));
  EXPECT_EQ(heard, (std::multiset<int>{SIGUSR1, SIGUSR2}));
  EXPECT_EQ(handled, 0);
  EXPECT_THROW(loop.onSignals({-1}, [](int) {}), std::system_error);
  sigaction(SIGUSR1, &old[0], nullptr);
  sigaction(SIGUSR2, &old[1], nullptr);
}

}  // namespace
}  // namespace quillbeam::platform
