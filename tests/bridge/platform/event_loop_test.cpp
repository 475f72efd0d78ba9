#include "platform/linux/event_loop.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>

#include "loop_driver.hpp"

namespace quillbeam::bridge::platform {
namespace {

using testing::runUntil;

// A block posted from a block runs after those already waiting; blocks posted from many
// threads run once each, on the loop's thread, in each thread's order.
TEST(EventLoop, RunsPostedBlocksOnceEachInOrderOnItsThread) {
  EventLoop loop;
  std::string order;
  loop.post([&] {
    order += 'a';
    loop.post([&] { order += 'c'; });
  });
  loop.post([&] { order += 'b'; });
  ASSERT_TRUE(runUntil(loop, [&] { return order.size() == 3; }));
  EXPECT_EQ(order, "abc");

  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  bool offThread = false;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t, main = std::this_thread::get_id()] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&, t, i, main] {
          offThread |= std::this_thread::get_id() != main;
          seen[size_t(t)].push_back(i);
          ++total;
        });
      }
    });
  }
  const bool done = runUntil(loop, [&] { return total == kThreads * kPerThread; });
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(done) << total;
  EXPECT_FALSE(offThread);
  std::vector<int> expected(kPerThread);
  for (int i = 0; i < kPerThread; ++i) expected[size_t(i)] = i;
  for (const auto& sequence : seen) EXPECT_EQ(sequence, expected);

  // Nothing runs twice, and a turn with nothing to do waits out its timeout.
  const uint64_t before = loop.turns();
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
    loop.turn(std::chrono::milliseconds(100));
  }
  EXPECT_LT(loop.turns() - before, 10u);
  EXPECT_EQ(total, kThreads * kPerThread);
  loop.post([&] { loop.quit(); });
  loop.run();
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
  std::string drain() const {
    std::string text;
    for (char c = 0; read(readEnd.get(), &c, 1) == 1;) text.push_back(c);
    return text;
  }
};

TEST(EventLoop, AWatchHearsWhatItAskedForUntilItEnds) {
  EventLoop loop;
  Pipe pipe;
  std::string seen;
  auto watch = loop.watch(pipe.readEnd.get(), EPOLLIN, [&](uint32_t events) {
    EXPECT_TRUE(events & EPOLLIN);
    seen += pipe.drain();
  });
  pipe.put('a');
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "a"; }));
  // Interest can be dropped and taken up again; nothing is lost in between.
  watch->setEvents(0);
  pipe.put('b');
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(seen, "a");
  watch->setEvents(EPOLLIN);
  ASSERT_TRUE(runUntil(loop, [&] { return seen == "ab"; }));
  watch.reset();
  pipe.put('c');
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(seen, "ab");

  // Two ready in one turn: the first callback ends the other watch, whose event (already
  // taken from the kernel) must be dropped, not delivered to a freed callback.
  Pipe first, second;
  std::unique_ptr<EventLoop::Watch> a, b;
  int heard = 0;
  const auto endBoth = [&](uint32_t) {
    ++heard;
    a.reset();
    b.reset();
  };
  a = loop.watch(first.readEnd.get(), EPOLLIN, endBoth);
  b = loop.watch(second.readEnd.get(), EPOLLIN, endBoth);
  first.put('x');
  second.put('y');
  ASSERT_TRUE(runUntil(loop, [&] { return heard > 0; }));
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(heard, 1);
}

TEST(EventLoop, AHookRunsBeforeEveryWaitUntilItEnds) {
  EventLoop loop;
  int prepared = 0, ran = 0;
  auto hook = loop.beforeWait([&] { ++prepared; });
  // A hook may arm something the same wait then sees: a post made from it runs in that
  // very turn.
  auto poster = loop.beforeWait([&] {
    if (ran == 0) loop.post([&] { ++ran; });
  });
  loop.turn(std::chrono::seconds(10));
  EXPECT_EQ(ran, 1);
  loop.turn(std::chrono::milliseconds(0));
  EXPECT_EQ(prepared, 2);
  hook.reset();
  poster.reset();
  loop.turn(std::chrono::milliseconds(0));
  EXPECT_EQ(prepared, 2);
}

}  // namespace
}  // namespace quillbeam::bridge::platform
