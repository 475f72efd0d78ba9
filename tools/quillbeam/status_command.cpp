#include "status_command.hpp"

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <system_error>

#include "exit_status.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "session_bus_access.hpp"
#include "status_report.hpp"

namespace quillbeam::cli {
namespace {

using namespace std::chrono_literals;
using platform::EventLoop;
using platform::Notification;

// False when standard output is gone (a status bar that went away). Watched reports for
// a person are set apart by a blank line.
bool print(const StatusReport& report, bool json, bool watching) {
  std::cout << (json ? report.json() + "\n" : report.text() + (watching ? "\n" : "")) << std::flush;
  return static_cast<bool>(std::cout);
}

int watch(bool json) {
  std::string problem;
  EventLoop* running = nullptr;
  auto platform = openSessionBus(problem, [&running] {
    if (running) running->quit();
  });
  auto& loop = platform->loop();
  // Taken on the loop instead of in handlers, so the loop ends between reports, never
  // inside one.
  std::unique_ptr<EventLoop::SignalSubscription> endSignals;
  std::unique_ptr<EventLoop::Timer> ticker;
  std::function<void()> report;
  try {
    endSignals = loop.onSignals({SIGINT, SIGTERM}, [&loop](int) { loop.quit(); });
    ticker = loop.timer(EventLoop::Clock::monotonic, [&report] { report(); });
  } catch (const std::system_error&) {
    complain("cannot watch: no signal or timer descriptor");
    return exitFailure;
  }

  int status = exitSuccess;
  report = [&] {
    const StatusReport now = StatusReport::current();
    if (!print(now, json, true)) {
      status = exitFailure;
      loop.quit();
    }
    // One tick a second from now, or none.
    if (now.countingDown()) {
      ticker->once(1s);
    } else {
      ticker->cancel();
    }
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
