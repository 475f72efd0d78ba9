#include "companion.hpp"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

#include "app_discovery.hpp"
#include "app_names.hpp"
#include "app_watch.hpp"
#include "cgroup_tree.hpp"
#include "companion_effects.hpp"
#include "companion_interface.hpp"
#include "companion_paths.hpp"
#include "directory_watch.hpp"
#include "quillbeam/policy/bridge_alive.hpp"
#include "quillbeam/policy/policy.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"

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

std::vector<AppIdentity> identities(const std::vector<RunningApp>& apps) {
  std::vector<AppIdentity> out;
  out.reserve(apps.size());
  for (const auto& app : apps) out.push_back(AppIdentity{app.bundleID, app.name});
  return out;
}

}  // namespace

CompanionFiles CompanionFiles::fromEnvironment() {
  return CompanionFiles{paths::settingsFile(), paths::pauseRecord(), paths::overridesFile(),
                        SharedFiles::browserLink()};
}

Companion::Companion(platform::LinuxPlatform& platform, CompanionFiles files, Log log)
    : platform_(platform),
      files_(std::move(files)),
      log_(std::move(log)),
      settings_(files_.settings) {}

Companion::~Companion() = default;

int Companion::run() {
  // Stop signals arrive as loop events, so that resuming everything runs like any other
  // step instead of inside a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopSignals, s);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signals_ = platform::UniqueFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  auto& loop = platform_.loop();
  watches_.push_back(loop.watch(signals_.get(), EPOLLIN, [this](uint32_t) {
    signalfd_siginfo info{};
    const ssize_t got = ::read(signals_.get(), &info, sizeof info);
    const std::string name =
        got == sizeof info ? strsignal(static_cast<int>(info.ssi_signo)) : "a signal";
    stop("stopping on " + name, 0);
  }));

  auto* bus = platform_.sessionBus().get();
  if (bus == nullptr) {
    log_("no session bus: the companion needs one to hear the browser");
    return 1;
  }
  interface_ = std::make_unique<CompanionInterface>(
      *this, platform_, [this](NameOutcome outcome, std::string_view why) {
        switch (outcome) {
          case NameOutcome::owned:
            if (!running_) start();
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

void Companion::start() {
  running_ = true;
  reloadSettings();
  reloadOverrides();

  std::optional<CgroupTree> tree;
  auto found = findCgroupTree();
  if (auto* problem = std::get_if<std::string>(&found)) {
    log_(*problem + ": apps cannot be paused, only told about");
  } else {
    tree = std::get<CgroupTree>(std::move(found));
  }
  effects_ = std::make_unique<CompanionEffects>(platform_, log_);
  shield_ = std::make_unique<Shield>(files_.record, *effects_, tree.has_value());
  try {
    // A crash or kill -9 of an earlier run left these paused; the first decision resumes
    // whatever it does not shield now.
    shield_->adopt(PauseRecord::read(files_.record));
  } catch (const std::exception& error) {
    log_(std::string(error.what()) + "; nothing from it can be resumed");
  }
  // Without a tree, apps found by their executable can still be told about.
  discovery_ = std::make_unique<AppDiscovery>(tree);
  if (tree) {
    try {
      watch_ =
          std::make_unique<AppWatch>(platform_.loop(), tree->managerRoot, tree->appSlice, [this] {
            rescan();
            decideNow();
          });
    } catch (const std::exception& error) {
      log_(std::string("cannot watch for new apps: ") + error.what() +
           "; looking for them while a session runs");
    }
  }

  timer_ = makeTimer();
  processScan_ = makeTimer();
  auto& loop = platform_.loop();
  watches_.push_back(loop.watch(timer_.get(), EPOLLIN, [this](uint32_t) {
    drain(timer_.get());
    decideNow();
  }));
  watches_.push_back(loop.watch(processScan_.get(), EPOLLIN, [this](uint32_t) {
    drain(processScan_.get());
    rescan();
    decideNow();
  }));
  try {
    settingsWatch_ = std::make_unique<DirectoryWatch>(
        platform_.loop(), files_.settings.parent_path(), [this](std::string_view name) {
          if (name != files_.settings.filename().string()) return;
          if (reloadSettings()) decideNow();
        });
  } catch (const std::exception& error) {
    log_(std::string("cannot watch the settings: ") + error.what() +
         "; quillbeam tells it of changes");
  }
  platform_.notifications().addObserver(CompanionNotification::browserState,
                                        [this](const platform::Notification&) {
                                          readLink();
                                          decideNow();
                                        });
  readLink();
  rescan();
  decideNow();
  log_(tree ? "watching the apps under " + tree->appSlice.string() + " (" +
                  std::to_string(apps_.size()) + " running)"
            : "watching the apps found by their executable");
}

void Companion::stop(std::string_view why, int status) {
  if (stopping_) return;
  stopping_ = true;
  log_(why);
  if (shield_) {
    const size_t resumed = shield_->resumeAll();
    if (resumed > 0) log_("resumed " + std::to_string(resumed) + " paused app(s)");
  }
  status_ = status;
  platform_.notifications().flush();
  platform_.loop().quit();
}

void Companion::busLost(std::string_view why) {
  if (platform_.sessionBus().get() != nullptr) {  // a passing complaint, not the end
    log_(why);
    return;
  }
  // Without the bus the companion hears nothing more: resume everything and end; the
  // bridge's next launch activates it again.
  stop(std::string("the session bus went away (") + std::string(why) + ")", 0);
}

bool Companion::reloadSettings() {
  const bool changed = settings_.reload();
  if (settings_.problem()) log_(*settings_.problem() + "; using the last good settings");
  return changed;
}

void Companion::reloadOverrides() {
  try {
    overrides_ = readOverrides(files_.overrides);
  } catch (const std::exception& error) {
    log_(error.what());
  }
}

void Companion::readLink() {
  link_ = SharedFiles::readLink(files_.link);
}

void Companion::rescan() {
  if (discovery_) apps_ = discovery_->scan();
}

void Companion::decideNow() {
  if (!shield_) return;
  decision_ = decide(identities(apps_), DecisionInputs{link_, settings_.settings(), overrides_,
                                                       Date::now(), Health::bridgeAlive});
  shield_->apply(apps_, decision_, settings_.settings());
  armTimer(decision_.nextChange);
  armProcessScan(decision_.session.has_value());
}

void Companion::armTimer(std::optional<Date> at) {
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

void Companion::armProcessScan(bool on) {
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

std::vector<Companion::AppReport> Companion::apps() const {
  std::vector<AppReport> out;
  for (size_t i = 0; i < apps_.size(); ++i) {
    RunningApp app = apps_[i];
    if (shield_) app.paused = shield_->isPaused(app.target);
    out.push_back(AppReport{
        std::move(app), i < decision_.verdicts.size() ? decision_.verdicts[i] : Verdict::allow()});
  }
  return out;
}

Date Companion::allow(std::string_view typed, double minutes) {
  const Date now = Date::now();
  const Date until = now + minutes * 60.0;
  for (const auto& id : resolveApp(typed).bundleIDs) overrides_.allowances[id] = until;
  try {
    writeOverrides(files_.overrides, overrides_, now);
  } catch (const std::exception& error) {
    log_(error.what());
  }
  decideNow();
  return until;
}

std::optional<std::string> Companion::reload() {
  reloadSettings();
  reloadOverrides();
  readLink();
  rescan();
  decideNow();
  return settings_.problem();
}

size_t Companion::resumeAll() {
  if (decision_.session) {
    overrides_.dismissedSession = decision_.session->id;
    try {
      writeOverrides(files_.overrides, overrides_, Date::now());
    } catch (const std::exception& error) {
      log_(error.what());
    }
  }
  const size_t resumed = shield_ ? shield_->resumeAll() : 0;
  decideNow();
  return resumed;
}

}  // namespace quillbeam::companion
