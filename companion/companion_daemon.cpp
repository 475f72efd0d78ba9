#include "companion_daemon.hpp"

#include <chrono>
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

using Clock = platform::EventLoop::Clock;

// Apps started outside the desktop's unit convention show up in no directory the kernel
// announces; while a session runs, the processes are looked at this often for them.
constexpr std::chrono::seconds kProcessScan{2};

}  // namespace

CompanionDaemon::CompanionDaemon(platform::LinuxPlatform& platform, CompanionFiles files, Log log)
    : platform_(platform), files_(std::move(files)), log_(std::move(log)) {}

CompanionDaemon::~CompanionDaemon() = default;

int CompanionDaemon::run() {
  // Stop signals arrive as loop events, so that resuming everything runs like any other
  // step instead of inside a handler.
  auto& loop = platform_.loop();
  stopSignals_ = loop.onSignals({SIGTERM, SIGINT, SIGHUP}, [this](int signo) {
    stop(std::string("stopping on ") + strsignal(signo), 0);
  });

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
            platform_.loop().quit();
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
  auto& loop = platform_.loop();
  // A session ends at a wall-clock instant: the timer follows the clock if it is set.
  nextChange_ = loop.timer(Clock::realtime, [this] { decide(); });
  processScan_ = loop.timer(Clock::monotonic, [this] {
    service_->rescan();
    decide();
  });

  try {
    service_ = std::make_unique<CompanionService>(files_, CompanionService::Mode::enforce,
                                                  &platform_, log_);
  } catch (const CompanionError& error) {
    // Another companion keeps what is paused: touch nothing.
    log_(error.what());
    stopping_ = true;
    platform_.loop().quit();
    return;
  }
  service_->onDecided([this] { decided(); });
  decided();
  if (const CgroupTree* tree = service_->tree()) {
    try {
      watch_ =
          std::make_unique<AppWatch>(platform_.loop(), tree->managerRoot, tree->appSlice, [this] {
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
        platform_.loop(), files_.settings.parent_path(), [this](std::string_view name) {
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
  platform_.loop().quit();
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
}

void CompanionDaemon::decided() {
  armTimer(service_->nextChange());
  armProcessScan(service_->sessionInForce());
  // A bridge killed without a last word leaves the link saying it runs: its end is heard
  // here, at once, instead of when the link grows old.
  const std::optional<int> bridge = service_->bridgePID();
  if (!bridge) {
    bridgeWatch_.reset();
  } else if (!bridgeWatch_ || bridgeWatch_->pid() != *bridge) {
    bridgeWatch_ =
        std::make_unique<ProcessExitWatch>(platform_.loop(), *bridge, [this] { decide(); });
  }
}

void CompanionDaemon::armTimer(std::optional<Date> at) {
  if (!at) {
    nextChange_->cancel();
    return;
  }
  // A whole millisecond past the instant: the policy's tests are strict, so waking at the
  // instant itself could decide the same again.
  nextChange_->onceAt(std::chrono::milliseconds(static_cast<int64_t>(std::ceil(at->ms() + 1.0))));
}

void CompanionDaemon::armProcessScan(bool on) {
  // Re-arming on every decision would push the next scan out for as long as decisions
  // keep coming.
  if (on == processScan_->repeating()) return;
  if (on) {
    processScan_->every(kProcessScan);
  } else {
    processScan_->cancel();
  }
}

}  // namespace quillbeam::companion
