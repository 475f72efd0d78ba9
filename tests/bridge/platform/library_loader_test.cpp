#include "platform/linux/library_loader.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/session_bus.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::bridge::platform {
namespace {

using namespace std::chrono_literals;
using testing::runUntil;

// Counts its calls and loads the real library.
struct CountingLoad {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  BusLibraryLoader loader() const {
    return [calls = calls] {
      ++*calls;
      return BusLibrary::load();
    };
  }
};

TEST(LibraryLoader, LoadsOnlyWhenToldToBegin) {
  CountingLoad load;
  std::promise<void> loaded;
  LibraryLoader loader(
      load.loader(), [&loaded] { loaded.set_value(); }, 10min);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(*load.calls, 0);
  loader.begin();
  ASSERT_EQ(loaded.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(*load.calls, 1);
}

TEST(LibraryLoader, LoadsOnItsOwnOnceTheDelayPassed) {
  CountingLoad load;
  std::promise<void> loaded;
  LibraryLoader loader(
      load.loader(), [&loaded] { loaded.set_value(); }, 10ms);
  ASSERT_EQ(loaded.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(*load.calls, 1);
}

TEST(LibraryLoader, OneDestroyedBeforeItBeganNeverLoads) {
  CountingLoad load;
  bool told = false;
  // Would hang for the whole delay if the destructor waited for it.
  std::make_unique<LibraryLoader>(
      load.loader(), [&told] { told = true; }, 10min)
      .reset();
  EXPECT_EQ(*load.calls, 0);
  EXPECT_FALSE(told);
}

TEST(LibraryLoader, TakeBeginsWaitsAndHandsTheOutcomeOverOnce) {
  CountingLoad load;
  LibraryLoader loader(
      load.loader(), [] {}, 10min);
  auto outcome = loader.take(10s);
  ASSERT_TRUE(outcome.has_value());
  ASSERT_NE(outcome->library, nullptr);
  EXPECT_NE(outcome->library->sd_bus_new, nullptr);
  EXPECT_EQ(outcome->error, "");
  EXPECT_EQ(loader.take(0ms), std::nullopt);
}

TEST(LibraryLoader, AFailedLoadCarriesItsReason) {
  LibraryLoader loader(
      []() -> std::unique_ptr<const BusLibrary> {
        throw std::runtime_error("couldn't load it: no such thing");
      },
      [] {}, 10min);
  auto outcome = loader.take(10s);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->library, nullptr);
  EXPECT_EQ(outcome->error, "couldn't load it: no such thing");
}

TEST(LibraryLoader, TakeGivesUpWhileTheLoadIsStuck) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  LibraryLoader loader(
      [gate] {
        gate.wait();
        return BusLibrary::load();
      },
      [] {}, 10min);
  EXPECT_EQ(loader.take(20ms), std::nullopt);
  release.set_value();
  EXPECT_TRUE(loader.take(10s).has_value());
}

// The bridge's first posted work is answering the browser's first message; the library
// must not load before that work is done, nor wait for the fallback delay after it.
TEST(SessionBusLoading, BeginsOnceTheFirstPostedBlockHasRun) {
  quillbeam::testing::PrivateBus bus;
  EventLoop loop;
  CountingLoad load;
  testing::LogLines log;
  SessionBus session(loop, bus.address(), log.sink(), load.loader(), 10min);
  for (int i = 0; i < 3; ++i) loop.turn(10ms);
  EXPECT_EQ(*load.calls, 0);
  EXPECT_EQ(session.state(), SessionBus::State::Loading);

  bool ran = false;
  loop.post([&] {
    ran = true;
    // Still inside the first work: nothing has begun.
    EXPECT_EQ(*load.calls, 0);
  });
  ASSERT_TRUE(runUntil(loop, [&] { return session.state() == SessionBus::State::Up; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(*load.calls, 1);
  EXPECT_TRUE(log.lines().empty());
}

TEST(SessionBusLoading, ConnectLoadsAtOnceWhenTheBusIsNeededFirst) {
  quillbeam::testing::PrivateBus bus;
  EventLoop loop;
  CountingLoad load;
  testing::LogLines log;
  SessionBus session(loop, bus.address(), log.sink(), load.loader(), 10min);
  EXPECT_NE(session.connect(), nullptr);
  EXPECT_EQ(session.state(), SessionBus::State::Up);
  EXPECT_EQ(*load.calls, 1);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace quillbeam::bridge::platform
