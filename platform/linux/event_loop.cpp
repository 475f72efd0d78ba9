#include "platform/linux/event_loop.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

namespace quillbeam::platform {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

EventLoop::Watch::~Watch() {
  // Fails harmlessly when the descriptor was closed first: the kernel dropped it then.
  epoll_ctl(loop_.epoll_.get(), EPOLL_CTL_DEL, fd_, nullptr);
  loop_.watches_.erase(id_);
}

void EventLoop::Watch::setEvents(uint32_t events) {
  if (events == events_) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = id_;
  if (epoll_ctl(loop_.epoll_.get(), EPOLL_CTL_MOD, fd_, &event) == 0) events_ = events;
}

EventLoop::Hook::~Hook() {
  loop_.hooks_.erase(id_);
}

EventLoop::EventLoop() {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) fail("epoll_create1");
  wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd_) fail("eventfd");
  wakeWatch_ = watch(wakeFd_.get(), EPOLLIN, [this](uint32_t) { runPosted(); });
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
  while (!quit_) turn(std::chrono::milliseconds(-1));
}

void EventLoop::quit() {
  quit_ = true;
}

void EventLoop::turn(std::chrono::milliseconds timeout) {
  ++turns_;
  // Each step is looked up again after the previous one ran, since a step may remove
  // others (or itself).
  for (auto it = hooks_.begin(); it != hooks_.end();) {
    const uint64_t id = it->first;
    const auto prepare = it->second;
    (*prepare)();
    it = hooks_.upper_bound(id);
  }

  const int waitMs =
      timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), INT_MAX));
  epoll_event events[16];
  const int count = epoll_wait(epoll_.get(), events, 16, waitMs);
  if (count < 0) {
    if (errno == EINTR) return;
    fail("epoll_wait");
  }
  for (int i = 0; i < count; ++i) {
    // Copied out: epoll_event is packed, so its fields may not be referred to.
    const uint64_t id = events[i].data.u64;
    const uint32_t occurred = events[i].events;
    const auto it = watches_.find(id);
    if (it == watches_.end()) continue;
    const auto ready = it->second;
    (*ready)(occurred);
  }
}

std::unique_ptr<EventLoop::Watch> EventLoop::watch(int fd, uint32_t events,
                                                   std::function<void(uint32_t)> ready) {
  const uint64_t id = nextId_++;
  epoll_event event{};
  event.events = events;
  event.data.u64 = id;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) fail("epoll_ctl");
  watches_.emplace(id, std::make_shared<std::function<void(uint32_t)>>(std::move(ready)));
  return std::make_unique<Watch>(Key{}, *this, fd, id, events);
}

std::unique_ptr<EventLoop::Hook> EventLoop::beforeWait(std::function<void()> prepare) {
  const uint64_t id = nextId_++;
  hooks_.emplace(id, std::make_shared<std::function<void()>>(std::move(prepare)));
  return std::make_unique<Hook>(Key{}, *this, id);
}

void EventLoop::runPosted() {
  uint64_t count = 0;
  while (read(wakeFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  // Only the blocks present now run in this turn, so a steady stream of posts cannot
  // starve the descriptors that share the loop.
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard guard(lock_);
    batch.swap(queue_);
  }
  for (auto& block : batch) {
    block();
    ++blocksRun_;
  }
}

}  // namespace quillbeam::platform
