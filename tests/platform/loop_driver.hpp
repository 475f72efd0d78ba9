#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "platform/linux/event_loop.hpp"
#include "support/eventually.hpp"
#include "support/run_command.hpp"

namespace quillbeam::platform::testing {

using namespace std::chrono_literals;

// Turns the loop on the calling thread until `done` holds; false when it did not within
// `timeout` (only to end a broken test).
inline bool runUntil(EventLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = 10s) {
  return quillbeam::testing::eventually(
      done, [&] { loop.turn(20ms); }, timeout);
}

// The turns the loop makes in `period` when each may wait 20 ms: about period / 20 ms
// when idle, many more when something wakes it over and over.
inline uint64_t turnsIn(EventLoop& loop, std::chrono::milliseconds period) {
  const uint64_t before = loop.turns();
  runUntil(
      loop, [] { return false; }, period);
  return loop.turns() - before;
}

// What `command` prints (standard output and error), run on another thread while the loop
// turns here, so that our side of the bus answers it.
inline std::string outputBeside(EventLoop& loop, const std::string& command) {
  auto output = std::async(std::launch::async,
                           [command] { return quillbeam::testing::runCommand(command).output; });
  runUntil(
      loop, [&] { return output.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      std::chrono::seconds(60));
  return output.get();
}

}  // namespace quillbeam::platform::testing
