#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "desktop/cgroup_tree.hpp"
#include "platform/linux/desktop_notifier.hpp"
#include "platform/linux/linux_platform.hpp"
#include "shield_effects.hpp"

namespace quillbeam::companion {

// The real effects: the freezer, desktop notifications, and app-blocked to the extension
// as a companion command on the session bus, which the bridge relays. Without a platform
// (`quillbeam` on its own) the user is told nothing and the extension hears nothing.
class CompanionEffects final : public ShieldEffects {
 public:
  // `tree` (which must outlive this) is where cgroups may be frozen and thawed.
  CompanionEffects(platform::LinuxPlatform* platform, const std::optional<CgroupTree>& tree,
                   std::function<void(std::string_view)> log);

  std::optional<std::string> pause(const ShieldTarget& target) override;
  std::optional<std::string> resume(const ShieldTarget& target) override;
  void notify(const std::string& key, const std::string& summary, const std::string& body) override;
  void withdraw(const std::string& key) override;
  void appBlocked(const std::string& appName) override;
  void log(std::string_view line) override { log_(line); }

 private:
  platform::LinuxPlatform* platform_;
  const std::optional<CgroupTree>& tree_;
  std::function<void(std::string_view)> log_;
  std::optional<platform::DesktopNotifier> notifier_;
};

}  // namespace quillbeam::companion
