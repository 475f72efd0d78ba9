#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "platform/linux/dbus/exported_object.hpp"
#include "platform/linux/linux_platform.hpp"

namespace quillbeam::companion {

class CompanionService;

enum class NameOutcome { owned, elsewhere, lost };

// Exports the companion's interface (CompanionBus) and asks for its bus name; `name` hears
// whether the companion got it, and if it loses it later. `service` is absent until the
// name is ours: only then may the companion touch anything.
//   ListApps() -> a(sssbss)   the running apps, paused or not, with the verdict and reason
//   Allow(s app, u minutes) -> x   allows an app (name or ID) for a while; the end in ms
//   Reload() -> s             reads the settings again; the settings file's problem or ""
//   ResumeAll() -> u          resumes everything until the session in force ends
class CompanionInterface {
 public:
  CompanionInterface(std::function<CompanionService*()> service, platform::LinuxPlatform& platform,
                     std::function<void(NameOutcome, std::string_view why)> name);

 private:
  std::unique_ptr<platform::dbus::ExportedObject> object_;
};

}  // namespace quillbeam::companion
