#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/linux_platform.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::bridge::platform::testing {

// Turns the loop on the calling thread until `done` holds; false when it did not within
// `timeout` (only to end a broken test).
inline bool runUntil(EventLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.turn(std::chrono::milliseconds(20));
  }
  return true;
}

// The platform's log lines; safe from any thread.
class LogLines {
 public:
  std::function<void(std::string_view)> sink() {
    return [this](std::string_view line) {
      std::lock_guard guard(lock_);
      lines_.emplace_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

// The Linux platform on a private bus with a listener beside it; it must log nothing.
class PlatformOnABus : public ::testing::Test {
 protected:
  void TearDown() override {
    platform.reset();
    EXPECT_THAT(log.lines(), ::testing::IsEmpty());
  }
  bool turnUntil(const std::function<bool()>& done) {
    return runUntil(platform->eventLoop(), done);
  }

  quillbeam::testing::PrivateBus bus;
  quillbeam::testing::BusListener listener{bus.address()};
  LogLines log;
  std::unique_ptr<LinuxPlatform> platform =
      std::make_unique<LinuxPlatform>(log.sink(), bus.address());
};

}  // namespace quillbeam::bridge::platform::testing
