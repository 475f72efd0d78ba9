#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/linux/event_loop.hpp"

namespace quillbeam::platform {
namespace {

timespec toTimespec(std::chrono::nanoseconds value) {
  const int64_t ns = value.count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

EventLoop::Timer::Timer(Key, EventLoop& loop, Clock clock, std::function<void()> fired)
    : fired_(std::make_shared<std::function<void()>>(std::move(fired))) {
  fd_.reset(timerfd_create(clock == Clock::realtime ? CLOCK_REALTIME : CLOCK_MONOTONIC,
                           TFD_NONBLOCK | TFD_CLOEXEC));
  if (!fd_) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t) { expire(); });
}

// The watch goes first, then the descriptor closes, which disarms the timer.
EventLoop::Timer::~Timer() = default;

void EventLoop::Timer::once(std::chrono::nanoseconds delay) {
  set(0, delay, std::chrono::nanoseconds(0));
}

void EventLoop::Timer::onceAt(std::chrono::nanoseconds sinceEpoch) {
  set(TFD_TIMER_ABSTIME, sinceEpoch, std::chrono::nanoseconds(0));
}

void EventLoop::Timer::every(std::chrono::nanoseconds period) {
  if (period.count() <= 0) throw std::invalid_argument("a timer's period must be positive");
  set(0, period, period);
}

void EventLoop::Timer::cancel() {
  const itimerspec off{};
  if (timerfd_settime(fd_.get(), 0, &off, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "timerfd_settime");
  }
  armed_ = false;
  repeating_ = false;
}

void EventLoop::Timer::set(int flags, std::chrono::nanoseconds first,
                           std::chrono::nanoseconds period) {
  // A zero first expiry would disarm the timer, and a negative one is refused: both mean
  // "now", which the earliest instant the kernel takes gives (long past when absolute).
  const itimerspec when{.it_interval = toTimespec(period),
                        .it_value = toTimespec(std::max(first, std::chrono::nanoseconds(1)))};
  if (timerfd_settime(fd_.get(), flags, &when, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "timerfd_settime");
  }
  armed_ = true;
  repeating_ = period.count() > 0;
}

void EventLoop::Timer::expire() {
  // Setting the timer again clears expiries not yet read, so an expiry the kernel
  // reported before a cancel or a new setting in the same turn leaves nothing to read.
  uint64_t expirations = 0;
  ssize_t got = 0;
  while ((got = read(fd_.get(), &expirations, sizeof expirations)) < 0 && errno == EINTR) {
  }
  if (got != sizeof expirations) return;
  if (!repeating_) armed_ = false;
  const auto fired = fired_;
  (*fired)();
}

std::unique_ptr<EventLoop::Timer> EventLoop::timer(Clock clock, std::function<void()> fired) {
  return std::make_unique<Timer>(Key{}, *this, clock, std::move(fired));
}

}  // namespace quillbeam::platform
