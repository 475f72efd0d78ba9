#include "input_backlog.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quillbeam::bridge {
namespace {

TEST(InputBacklog, ReaderWaitsOverTheLimitAndResumesOnceHalfIsLeft) {
  InputBacklog backlog(100);
  backlog.admit(60);
  backlog.admit(60);  // 60 <= 100: admitted, now over the limit
  std::atomic<bool> admitted{false};
  std::thread reader([&] {
    backlog.admit(1);
    admitted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(admitted) << "the reader must wait while 120 bytes are queued";
  backlog.release(60);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(admitted) << "60 bytes are more than half the limit";
  backlog.release(20);
  reader.join();
  EXPECT_TRUE(admitted);
}

TEST(InputBacklog, AMessageLargerThanTheLimitStillPasses) {
  InputBacklog backlog(10);
  backlog.admit(8 * 1024 * 1024);
  backlog.release(8 * 1024 * 1024);
  std::thread reader([&] { backlog.admit(5); });
  reader.join();  // returns only because nothing is queued any more
}

}  // namespace
}  // namespace quillbeam::bridge
