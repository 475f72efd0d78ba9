#include "platform/linux/event_loop.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>

#include "loop_driver.hpp"

namespace quillbeam::bridge::platform {
namespace {

using testing::runUntil;

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
  std::vector<std::thread> posters;
  for (size_t t = 0; t < 2; ++t) {
    posters.emplace_back([&, t, main = std::this_thread::get_id()] {
      for (char c = ' '; c <= '~'; ++c) {
        loop.post([&, t, c, main] { seen[t] += std::this_thread::get_id() == main ? c : '!'; });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(runUntil(loop, [&] { return seen[0].size() + seen[1].size() + seen[2].size() == 193; }));
  std::string expected;
  for (char c = ' '; c <= '~'; ++c) expected += c;
  EXPECT_EQ(seen, (std::vector<std::string>{expected, expected, "ahb"}));
  // Nothing runs twice; a turn with nothing to do waits out its timeout.
  hook.reset();
  const int hooked = hooks;
  const auto start = std::chrono::steady_clock::now();
  const uint64_t before = loop.turns();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
    loop.turn(std::chrono::milliseconds(100));
  }
  EXPECT_LT(loop.turns() - before, 10u);
  EXPECT_EQ(seen[2], "ahb");
  EXPECT_EQ(hooks, hooked);
}

struct Pipe {
  UniqueFd readEnd, writeEnd;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
  }
  void put(char c) const { EXPECT_EQ(write(writeEnd.get(), &c, 1), 1); }
};

TEST(EventLoop, AWatchHearsWhatItAskedForUntilItEnds) {
  EventLoop loop;
  Pipe first, second;
  std::string seen;
  std::unique_ptr<EventLoop::Watch> watches[2];
  for (size_t i = 0; i < 2; ++i) {
    const Pipe& pipe = i == 0 ? first : second;
    watches[i] = loop.watch(pipe.readEnd.get(), EPOLLIN, [&, i](uint32_t events) {
      for (char c = 0; events & EPOLLIN && read(pipe.readEnd.get(), &c, 1) == 1;) seen += c;
      // The first ends the other watch, whose event, taken from the kernel in the same
      // turn, must then be dropped, not delivered to a freed callback.
      if (seen.size() > 2) watches[1 - i].reset();
    });
  }
  first.put('a');
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "a"; }));
  // Interest can be dropped and taken up again; nothing is lost in between.
  watches[0]->setEvents(0);
  first.put('b');
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(seen, "a");
  watches[0]->setEvents(EPOLLIN);
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "ab"; }));
  first.put('x');
  second.put('y');
  ASSERT_TRUE(runUntil(loop, [&] { return seen.size() > 2; }));
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_TRUE(seen == "abx" || seen == "aby") << seen;
}

}  // namespace
}  // namespace quillbeam::bridge::platform
