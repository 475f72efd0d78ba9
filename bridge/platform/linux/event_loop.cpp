#include "platform/linux/event_loop.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace quillbeam::bridge::platform {
namespace {

void check(int result, const char* what) {
  if (result < 0) throw std::system_error(-result, std::generic_category(), what);
}

}  // namespace

EventLoop::EventLoop() {
  sd_event* event = nullptr;
  check(sd_event_new(&event), "sd_event_new");
  event_.reset(event);

  wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd_) throw std::system_error(errno, std::generic_category(), "eventfd");

  sd_event_source* source = nullptr;
  check(sd_event_add_io(event, &source, wakeFd_.get(), EPOLLIN, &EventLoop::onWake, this),
        "sd_event_add_io");
  wakeSource_.reset(source);
}

void EventLoop::post(std::function<void()> block) {
  bool wasEmpty = false;
  {
    std::lock_guard guard(lock_);
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(block));
  }
  // One wake-up per batch: the loop reads the eventfd before it takes the queue, so a
  // block that finds the queue empty always wakes it again.
  if (wasEmpty) {
    const uint64_t one = 1;
    while (write(wakeFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

void EventLoop::run() {
  sd_event_loop(event_.get());
}

void EventLoop::quit() {
  sd_event_exit(event_.get(), 0);
}

int EventLoop::onWake(sd_event_source*, int, uint32_t, void* self) noexcept {
  static_cast<EventLoop*>(self)->runPosted();
  return 0;
}

void EventLoop::runPosted() {
  uint64_t count = 0;
  while (read(wakeFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  // Only the blocks present now run in this turn, so a steady stream of posts cannot
  // starve the bus sources that share the loop.
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard guard(lock_);
    batch.swap(queue_);
  }
  for (auto& block : batch) block();
}

}  // namespace quillbeam::bridge::platform
