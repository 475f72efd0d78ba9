#include "platform/linux/event_loop.hpp"

#include <gtest/gtest.h>

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
  sd_event_run(loop.event(), 50'000);
  EXPECT_EQ(total, kThreads * kPerThread);
}

TEST(EventLoop, SleepsWhenThereIsNothingToDo) {
  EventLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  ASSERT_TRUE(runUntil(loop, [&] { return ran == 1; }));
  // With nothing posted, a turn waits out its whole timeout instead of spinning.
  uint64_t before = 0, after = 0;
  sd_event_get_iteration(loop.event(), &before);
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
    sd_event_run(loop.event(), 100'000);
  }
  sd_event_get_iteration(loop.event(), &after);
  EXPECT_LT(after - before, 10u);
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace quillbeam::bridge::platform
