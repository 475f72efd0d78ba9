#include "platform/linux/event_loop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loop_driver.hpp"

namespace quillbeam::bridge::platform {
namespace {

using testing::runUntil;

TEST(EventLoop, RunsBlocksPostedBeforeRunInOrderThenQuits) {
  EventLoop loop;
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) loop.post([&order, i] { order.push_back(i); });
  loop.post([&loop] { loop.quit(); });
  loop.run();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(EventLoop, BlockPostedFromABlockRunsAfterThoseAlreadyWaiting) {
  EventLoop loop;
  std::vector<char> order;
  loop.post([&] {
    order.push_back('a');
    loop.post([&] { order.push_back('c'); });
  });
  loop.post([&] { order.push_back('b'); });
  ASSERT_TRUE(runUntil(loop, [&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
}

// Several threads post while the loop runs: every block runs once, on the loop's thread,
// and each thread's blocks keep the order in which that thread posted them.
TEST(EventLoop, BlocksFromManyThreadsRunOnceEachInPerThreadOrderOnTheMainThread) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  EventLoop loop;
  const auto mainThread = std::this_thread::get_id();
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  bool offThread = false;

  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&, t, i] {
          if (std::this_thread::get_id() != mainThread) offThread = true;
          seen[static_cast<size_t>(t)].push_back(i);
          ++total;
        });
      }
    });
  }
  const bool done = runUntil(loop, [&] { return total == kThreads * kPerThread; });
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(done) << total;
  EXPECT_FALSE(offThread);
  for (const auto& sequence : seen) {
    ASSERT_EQ(sequence.size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(sequence[static_cast<size_t>(i)], i);
  }
  // Nothing runs twice: the queue is empty once every block has run.
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(total, kThreads * kPerThread);
}

TEST(EventLoop, SleepsWhenThereIsNothingToDo) {
  EventLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  ASSERT_TRUE(runUntil(loop, [&] { return ran == 1; }));
  // With nothing posted, a turn waits out its whole timeout instead of spinning.
  const uint64_t before = loop.turns();
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
    loop.turn(std::chrono::milliseconds(100));
  }
  EXPECT_LT(loop.turns() - before, 10u);
  EXPECT_EQ(ran, 1);
}

// --- Watched descriptors ----------------------------------------------------------------

// A pipe whose ends close with the test.
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      readEnd.reset(fds[0]);
      writeEnd.reset(fds[1]);
    }
  }
  void put(char c) const { ASSERT_EQ(write(writeEnd.get(), &c, 1), 1); }
  std::string drain() const {
    std::string text;
    char c = 0;
    while (read(readEnd.get(), &c, 1) == 1) text.push_back(c);
    return text;
  }
};

TEST(EventLoopWatch, HearsWhatItAskedForUntilItEnds) {
  EventLoop loop;
  Pipe pipe;
  ASSERT_TRUE(pipe.readEnd);
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
}

// Two descriptors ready in the same turn: the first callback ends the other watch, whose
// event (already taken from the kernel) must then be dropped, not delivered to a freed
// callback.
TEST(EventLoopWatch, AWatchEndedByAnotherCallbackInTheSameTurnHearsNothing) {
  EventLoop loop;
  Pipe first, second;
  std::unique_ptr<EventLoop::Watch> a, b;
  int heard = 0;
  a = loop.watch(first.readEnd.get(), EPOLLIN, [&](uint32_t) {
    ++heard;
    a.reset();
    b.reset();
  });
  b = loop.watch(second.readEnd.get(), EPOLLIN, [&](uint32_t) {
    ++heard;
    a.reset();
    b.reset();
  });
  first.put('x');
  second.put('y');
  ASSERT_TRUE(runUntil(loop, [&] { return heard > 0; }));
  loop.turn(std::chrono::milliseconds(50));
  EXPECT_EQ(heard, 1);
}

TEST(EventLoopHook, RunsBeforeEveryWaitUntilItEnds) {
  EventLoop loop;
  int prepared = 0;
  auto hook = loop.beforeWait([&] { ++prepared; });
  loop.turn(std::chrono::milliseconds(0));
  loop.turn(std::chrono::milliseconds(0));
  EXPECT_EQ(prepared, 2);

  // A hook may arm something the same wait then sees: a post made from it runs in that
  // very turn.
  int ran = 0;
  auto poster = loop.beforeWait([&] {
    if (ran == 0) loop.post([&] { ++ran; });
  });
  loop.turn(std::chrono::seconds(10));
  EXPECT_EQ(ran, 1);

  hook.reset();
  poster.reset();
  loop.turn(std::chrono::milliseconds(0));
  EXPECT_EQ(prepared, 3);
}

}  // namespace
}  // namespace quillbeam::bridge::platform
