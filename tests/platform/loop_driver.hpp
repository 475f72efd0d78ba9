#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/linux/event_loop.hpp"

namespace quillbeam::platform::testing {

using namespace std::chrono_literals;

// Turns the loop on the calling thread until `done` holds; false when it did not within
// `timeout` (only to end a broken test).
inline bool runUntil(EventLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.turn(20ms);
  }
  return true;
}

// The turns the loop makes in `period` when each may wait 20 ms: about period / 20 ms
// when idle, many more when something wakes it over and over.
inline uint64_t turnsIn(EventLoop& loop, std::chrono::milliseconds period) {
  const uint64_t before = loop.turns();
  runUntil(
      loop, [] { return false; }, period);
  return loop.turns() - before;
}

}  // namespace quillbeam::platform::testing
