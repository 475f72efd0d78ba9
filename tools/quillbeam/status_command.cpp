#include "status_command.hpp"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <iostream>

#include "exit_status.hpp"
#include "platform/linux/unique_fd.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "session_bus_access.hpp"
#include "status_report.hpp"

namespace quillbeam::cli {
namespace {

using platform::Notification;
using platform::UniqueFd;

// False when standard output is gone (a status bar that went away). Watched reports for
// a person are set apart by a blank line.
bool print(const StatusReport& report, bool json, bool watching) {
  std::cout << (json ? report.json() + "\n" : report.text() + (watching ? "\n" : "")) << std::flush;
  return static_cast<bool>(std::cout);
}

// One tick a second from now, or none.
void arm(const UniqueFd& timer, bool on) {
  itimerspec when{};
  when.it_value.tv_sec = on ? 1 : 0;
  timerfd_settime(timer.get(), 0, &when, nullptr);
}

int watch(bool json) {
  // Taken as readable events on the loop instead of handlers, so the loop ends between
  // reports, never inside one.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &endSignals, nullptr);
  const UniqueFd signals(signalfd(-1, &endSignals, SFD_NONBLOCK | SFD_CLOEXEC));
  const UniqueFd ticker(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!signals || !ticker) {
    complain("cannot watch: no signal or timer descriptor");
    return exitFailure;
  }

  std::string problem;
  platform::EventLoop* running = nullptr;
  auto platform = openSessionBus(problem, [&running] {
    if (running) running->quit();
  });
  auto& loop = platform->loop();
  int status = exitSuccess;
  auto report = [&] {
    const StatusReport now = StatusReport::current();
    if (!print(now, json, true)) {
      status = exitFailure;
      loop.quit();
    }
    arm(ticker, now.countingDown());
  };
  platform->notifications().addObserver(CompanionNotification::browserState,
                                        [&](const Notification&) { report(); });
  // Once the bus has taken the subscription, no change after the first report is missed.
  platform->notifications().flush();
  if (!busUsable(*platform)) {
    complain("cannot watch: " + problem);
    return exitFailure;
  }
  running = &loop;
  report();
  auto signalWatch = loop.watch(signals.get(), EPOLLIN, [&](uint32_t) { loop.quit(); });
  auto tickWatch = loop.watch(ticker.get(), EPOLLIN, [&](uint32_t) {
    uint64_t expirations = 0;
    if (::read(ticker.get(), &expirations, sizeof expirations) > 0) report();
  });
  loop.run();
  if (!problem.empty()) {
    complain("stopped watching: " + problem);
    return exitFailure;
  }
  return status;
}

}  // namespace

int showStatus(const StatusRequest& request) {
  if (request.watch) return watch(request.json);
  return print(StatusReport::current(), request.json, false) ? exitSuccess : exitFailure;
}

}  // namespace quillbeam::cli
