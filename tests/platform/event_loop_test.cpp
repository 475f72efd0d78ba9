#include "platform/linux/event_loop.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

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

}  // namespace
}  // namespace quillbeam::platform
