#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "desktop/shield_target.hpp"

namespace quillbeam::companion {

// What shielding does to the desktop and tells the user. The companion's are real (the
// freezer, desktop notifications, the bus); tests may script them.
class ShieldEffects {
 public:
  virtual ~ShieldEffects() = default;
  // Pauses the target; the reason when it could not.
  virtual std::optional<std::string> pause(const ShieldTarget& target) = 0;
  // Resumes the target; the reason when it could not (a target that is gone is resumed).
  virtual std::optional<std::string> resume(const ShieldTarget& target) = 0;
  // Shows the notification for `key`, replacing the one shown for it before.
  virtual void notify(const std::string& key, const std::string& summary,
                      const std::string& body) = 0;
  // Takes the notification for `key` away.
  virtual void withdraw(const std::string& key) = 0;
  // Tells the extension that `appName` was blocked.
  virtual void appBlocked(const std::string& appName) = 0;
  virtual void log(std::string_view line) = 0;
};

}  // namespace quillbeam::companion
