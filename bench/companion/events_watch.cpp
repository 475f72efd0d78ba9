#include "events_watch.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>

#include "companion/desktop/small_file.hpp"

namespace quillbeam::companion::bench {

void throwIfInterrupted() {
  sigset_t pending;
  ::sigpending(&pending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&pending, s)) throw Interrupted();
  }
}

EventsWatch::EventsWatch() : inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (!inotify_) throw std::runtime_error("inotify_init1 failed");
}

void EventsWatch::add(const std::filesystem::path& unit) {
  ::inotify_add_watch(inotify_.get(), (unit / "cgroup.events").c_str(), IN_MODIFY);
}

double EventsWatch::msUntil(Clock::time_point start, const std::function<bool()>& done,
                            const std::function<std::string()>& context) {
  const auto deadline = start + std::chrono::seconds(10);
  while (!done()) {
    throwIfInterrupted();
    if (Clock::now() > deadline) {
      throw std::runtime_error("no change within 10 s" + (context ? "; " + context() : ""));
    }
    // The kernel sends the notice from a work queue, a little after the change: the short
    // timeout bounds what a late notice can add to a figure.
    pollfd p{inotify_.get(), POLLIN, 0};
    if (::poll(&p, 1, 2) > 0) {
      std::array<char, 4096> events;
      while (::read(inotify_.get(), events.data(), events.size()) > 0) {
      }
    }
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool isFrozen(const std::filesystem::path& unit) {
  return readSmallFile(unit / "cgroup.events").value_or("").find("frozen 1") != std::string::npos;
}

}  // namespace quillbeam::companion::bench
