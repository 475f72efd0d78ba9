#include "companion_daemon.hpp"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>

#include "companion_interface.hpp"
#include "desktop/app_watch.hpp"
#include "desktop/cgroup_tree.hpp"
#include "desktop/directory_watch.hpp"
#include "quillbeam/session/companion_notification.hpp"

namespace quillbeam::companion {
namespace {

// Apps started outside the desktop's unit convention show up in no directory the kernel
// announces; while a session runs, the processes are looked at this often for them.
constexpr double kProcessScanSeconds = 2.0;

platform::UniqueFd makeTimer() {
  return platform::UniqueFd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
}

void drain(int fd) {
  uint64_t ignored = 0;
  while (::read(fd, &ignored, sizeof ignored) > 0) {
  }
}

}  // namespace

CompanionDaemon::CompanionDaemon(platform::LinuxPlatform& platform, CompanionFiles files, Log log)
    : platform_(platform), files_(std::move(files)), log_(std::move(log)) {}

CompanionDaemon::~CompanionDaemon() = default;

int CompanionDaemon::run() {
  // Stop signals arrive as loop events, so that resuming everything runs like any other
  // step instead of inside a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopSignals, s);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signals_ = platform::UniqueFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  auto& loop = platform_.eventLoop();
  watches_.push_back(loop.watch(signals_.get(), EPOLLIN, [this](uint32_t) {
    signalfd_siginfo info{};
    const ssize_t got = ::read(signals_.get(), &info, sizeof info);
    const std::string name =
        got == sizeof info ? strsignal(static_cast<int>(info.ssi_signo)) : "a signal";
    stop("stopping on " + name, 0);
  }));

  if (platform_.sessionBus().get() == nullptr) {
    log_("no session bus: the companion needs one to hear the browser");
    return 1;
  }
  interface_ = std::make_unique<CompanionInterface>(
      [this] { return service_.get(); }, platform_,
      [this](NameOutcome outcome, std::string_view why) {
        switch (outcome) {
          case NameOutcome::owned:
            if (!service_) start();
            break;
          case NameOutcome::elsewhere:
            // Another companion runs: what is paused is its business; touch nothing.
            log_("another companion already runs on this session bus");
            status_ = 0;
            platform_.eventLoop().quit();
            break;
          case NameOutcome::lost:
            stop(std::string("lost the bus name: ") + std::string(why), 0);
            break;
        }
      });
  loop.run();
  return status_;
}

void CompanionDaemon::start() {
  // Set before the service decides for the first time: its first decision may arm them.
  timer_ = makeTimer();
  processScan_ = makeTimer();
  auto& loop = platform_.eventLoop();
  watches_.push_back(loop.watch(timer_.get(), EPOLLIN, [this](uint32_t) {
    drain(timer_.get());
    decide();
  }));
  watches_.push_back(loop.watch(processScan_.get(), EPOLLIN, [this](uint32_t) {
    drain(processScan_.get());
    service_->rescan();
    decide();
  }));

  service_ =
      std::make_unique<CompanionService>(files_, CompanionService::Mode::enforce, &platform_, log_);
  if (const CgroupTree* tree = service_->tree()) {
    try {
      watch_ = std::make_unique<AppWatch>(platform_.eventLoop(), tree->managerRoot, tree->appSlice,
                                          [this] {
                                            service_->rescan();
                                            decide();
                                          });
    } catch (const std::exception& error) {
      log_(std::string("cannot watch for new apps: ") + error.what() +
           "; looking for them while a session runs");
    }
  }
  try {
    settingsWatch_ = std::make_unique<DirectoryWatch>(
        platform_.eventLoop(), files_.settings.parent_path(), [this](std::string_view name) {
          if (name != files_.settings.filename().string()) return;
          if (service_->reloadSettings()) decide();
        });
  } catch (const std::exception& error) {
    log_(std::string("cannot watch the settings: ") + error.what() +
         "; quillbeam tells it of changes");
  }
  platform_.notifications().addObserver(CompanionNotification::browserState,
                                        [this](const platform::Notification&) {
                                          service_->readLink();
                                          decide();
                                        });
  decide();
  const CgroupTree* tree = service_->tree();
  log_(tree ? "watching the apps under " + tree->appSlice.string() + " (" +
                  std::to_string(service_->runningCount()) + " running)"
            : "watching the apps found by their executable");
}

void CompanionDaemon::stop(std::string_view why, int status) {
  if (stopping_) return;
  stopping_ = true;
  log_(why);
  if (service_) {
    const size_t resumed = service_->resumeBeforeExit();
    if (resumed > 0) log_("resumed " + std::to_string(resumed) + " paused app(s)");
  }
  status_ = status;
  platform_.notifications().flush();
  platform_.eventLoop().quit();
}

void CompanionDaemon::busLost(std::string_view why) {
  if (platform_.sessionBus().get() != nullptr) {  // a passing complaint, not the end
    log_(why);
    return;
  }
  // Without the bus the companion hears nothing more: resume everything and end; the
  // bridge's next launch activates it again.
  stop(std::string("the session bus went away (") + std::string(why) + ")", 0);
}

void CompanionDaemon::decide() {
  service_->decide();
  armTimer(service_->nextChange());
  armProcessScan(service_->sessionInForce());
}

void CompanionDaemon::armTimer(std::optional<Date> at) {
  itimerspec setting{};
  if (at) {
    // A whole millisecond past the instant: the policy's tests are strict, so waking at the
    // instant itself could decide the same again.
    const double seconds = std::ceil(at->ms() + 1.0) / 1000.0;
    setting.it_value.tv_sec = static_cast<time_t>(seconds);
    setting.it_value.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  }
  ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
}

void CompanionDaemon::armProcessScan(bool on) {
  itimerspec setting{};
  if (on) {
    setting.it_value.tv_sec = static_cast<time_t>(kProcessScanSeconds);
    setting.it_interval = setting.it_value;
  }
  itimerspec current{};
  ::timerfd_gettime(processScan_.get(), &current);
  // Re-arming on every decision would push the next scan out for as long as decisions
  // keep coming.
  if (on == (current.it_interval.tv_sec != 0)) return;
  ::timerfd_settime(processScan_.get(), 0, &setting, nullptr);
}

}  // namespace quillbeam::companion
