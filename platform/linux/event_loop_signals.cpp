#include <pthread.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

#include "platform/linux/event_loop.hpp"

namespace quillbeam::platform {

EventLoop::SignalSubscription::SignalSubscription(Key, EventLoop& loop, UniqueFd fd,
                                                  std::function<void(int)> heard)
    : fd_(std::move(fd)), heard_(std::make_shared<std::function<void(int)>>(std::move(heard))) {
  watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t) { take(); });
}

// The mask is left as it is; see EventLoop::onSignals.
EventLoop::SignalSubscription::~SignalSubscription() = default;

void EventLoop::SignalSubscription::take() {
  // One signal a turn: `heard` may end the subscription, and those still pending keep the
  // descriptor readable for the next turn.
  signalfd_siginfo info{};
  ssize_t got = 0;
  while ((got = read(fd_.get(), &info, sizeof info)) < 0 && errno == EINTR) {
  }
  if (got != sizeof info) return;
  const auto heard = heard_;
  (*heard)(static_cast<int>(info.ssi_signo));
}

std::unique_ptr<EventLoop::SignalSubscription> EventLoop::onSignals(
    std::vector<int> signals, std::function<void(int signo)> heard) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signo : signals) {
    if (sigaddset(&set, signo) != 0) {
      throw std::system_error(errno, std::generic_category(), "sigaddset");
    }
  }
  // The descriptor comes first, so that a failure leaves the mask untouched.
  UniqueFd fd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), "signalfd");
  if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
    throw std::system_error(error, std::generic_category(), "pthread_sigmask");
  }
  return std::make_unique<SignalSubscription>(Key{}, *this, std::move(fd), std::move(heard));
}

}  // namespace quillbeam::platform
