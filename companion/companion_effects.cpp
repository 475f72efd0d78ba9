#include "companion_effects.hpp"

#include <map>

#include "desktop/freezer.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/wire/host_message.hpp"

namespace quillbeam::companion {

CompanionEffects::CompanionEffects(platform::LinuxPlatform* platform,
                                   const std::optional<CgroupTree>& tree,
                                   std::function<void(std::string_view)> log)
    : platform_(platform), tree_(tree), log_(std::move(log)) {
  if (platform_ != nullptr) {
    notifier_.emplace(platform_->sessionBus(), "Quillbeam", "quillbeam-companion", log_);
  }
}

namespace {

std::optional<std::string> problemOf(const ShieldResult& result, bool goneIsDone) {
  switch (result.status) {
    case ShieldResult::Status::done:
      return std::nullopt;
    case ShieldResult::Status::gone:
      if (goneIsDone) return std::nullopt;
      return std::string("it is gone");
    case ShieldResult::Status::refused:
      return result.error;
  }
  return result.error;
}

}  // namespace

std::optional<std::string> CompanionEffects::pause(const ShieldTarget& target) {
  return problemOf(companion::pause(target, tree_), false);
}

std::optional<std::string> CompanionEffects::resume(const ShieldTarget& target) {
  return problemOf(companion::resume(target, tree_), true);
}

void CompanionEffects::notify(const std::string& key, const std::string& summary,
                              const std::string& body) {
  if (notifier_)
    notifier_->show(key, platform::DesktopNotification{summary, body, "", std::nullopt});
}

void CompanionEffects::withdraw(const std::string& key) {
  if (notifier_) notifier_->close(key);
}

void CompanionEffects::appBlocked(const std::string& appName) {
  if (platform_ == nullptr) return;
  const HostMessage message{HostMessage::AppBlocked{appName}};
  platform_->notifications().post(CompanionNotification::command,
                                  std::map<std::string, std::string>{{"json", message.encode()}});
}

}  // namespace quillbeam::companion
