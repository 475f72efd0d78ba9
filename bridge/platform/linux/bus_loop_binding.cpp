#include "platform/linux/bus_loop_binding.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace quillbeam::bridge::platform {
namespace {

// Messages handled per wake-up, so a flood of signals cannot starve the posted blocks;
// the rest makes the deadline "now" and is handled on the next turns.
constexpr int kProcessPerTurn = 64;
constexpr uint64_t kNoDeadline = UINT64_MAX;

[[noreturn]] void fail(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

uint32_t epollEvents(int pollEvents) {
  uint32_t events = 0;
  if (pollEvents & POLLIN) events |= EPOLLIN;
  if (pollEvents & POLLOUT) events |= EPOLLOUT;
  return events;
}

}  // namespace

BusLoopBinding::BusLoopBinding(const BusLibrary& library, sd_bus* bus, EventLoop& loop,
                               std::function<void(int)> failed)
    : library_(library), bus_(bus), failed_(std::move(failed)) {
  const int fd = library_.sd_bus_get_fd(bus);
  if (fd < 0) fail(-fd, "sd_bus_get_fd");
  socket_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!socket_) fail(errno, "fcntl");
  timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer_) fail(errno, "timerfd_create");
  socketWatch_ = loop.watch(socket_.get(), 0, [this](uint32_t) { process(); });
  timerWatch_ = loop.watch(timer_.get(), EPOLLIN, [this](uint32_t) {
    uint64_t expirations = 0;
    while (read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    // Fired: the next wait must arm it again even if the deadline stays the same.
    armedAt_.reset();
    process();
  });
  prepareHook_ = loop.beforeWait([this] { prepare(); });
}

void BusLoopBinding::prepare() {
  // A connection that has ended wants nothing; hang-ups still wake us until it is let go.
  const int events = library_.sd_bus_get_events(bus_);
  socketWatch_->setEvents(events < 0 ? 0 : epollEvents(events));
  uint64_t deadline = kNoDeadline;
  if (library_.sd_bus_get_timeout(bus_, &deadline) < 0) deadline = kNoDeadline;
  arm(deadline);
}

void BusLoopBinding::arm(uint64_t deadlineUsec) {
  if (armedAt_ == deadlineUsec) return;
  itimerspec expiry{};  // all zero disarms
  if (deadlineUsec != kNoDeadline) {
    // Zero would disarm; a deadline due at once becomes the earliest instant there is.
    const uint64_t at = std::max<uint64_t>(deadlineUsec, 1);
    expiry.it_value.tv_sec = static_cast<time_t>(at / 1'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(at % 1'000'000 * 1000);
  }
  if (timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &expiry, nullptr) == 0) {
    armedAt_ = deadlineUsec;
  }
}

void BusLoopBinding::process() {
  for (int i = 0; i < kProcessPerTurn; ++i) {
    const int r = library_.sd_bus_process(bus_, nullptr);
    if (r == 0) return;
    if (r < 0) {
      failed_(r);
      return;
    }
  }
}

}  // namespace quillbeam::bridge::platform
