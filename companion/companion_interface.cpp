#include "companion_interface.hpp"

#include <cmath>

#include "app_listing.hpp"
#include "companion.hpp"

namespace quillbeam::companion {
namespace {

using platform::dbus::Argument;
using platform::dbus::Method;
using platform::dbus::MethodError;
using platform::dbus::MethodResult;
using platform::dbus::Reader;
using platform::dbus::Writer;

std::vector<AppListing> listings(const Companion& companion) {
  std::vector<AppListing> out;
  for (const auto& report : companion.apps()) {
    out.push_back(AppListing{report.app.bundleID, report.app.name, report.app.linuxId,
                             report.app.paused, report.verdict.reason()});
  }
  return out;
}

}  // namespace

CompanionInterface::CompanionInterface(Companion& companion, platform::LinuxPlatform& platform,
                                       std::function<void(NameOutcome, std::string_view)> name) {
  auto* connection = platform.sessionBus().get();
  if (connection == nullptr) return;
  std::vector<Method> methods{
      {"ListApps",
       {},
       {{"apps", std::string(kAppListingSignature)}},
       [&companion](Reader&) -> MethodResult {
         std::string body;
         Writer out(body);
         writeListings(out, listings(companion));
         return body;
       }},
      {"Allow",
       {{"app", "s"}, {"minutes", "u"}},
       {{"until_ms", "x"}},
       [&companion](Reader& in) -> MethodResult {
         const std::string app(in.string());
         const uint32_t minutes = in.uint32();
         if (app.empty() || minutes == 0 || minutes > 24 * 60) {
           return MethodError{"org.freedesktop.DBus.Error.InvalidArgs",
                              "name an app, and between 1 and 1440 minutes"};
         }
         std::string body;
         Writer(body).int64(companion.allow(app, minutes).ms());
         return body;
       }},
      {"Reload",
       {},
       {{"settings_problem", "s"}},
       [&companion](Reader&) -> MethodResult {
         std::string body;
         Writer(body).string(companion.reload().value_or(""));
         return body;
       }},
      {"ResumeAll",
       {},
       {{"resumed", "u"}},
       [&companion](Reader&) -> MethodResult {
         std::string body;
         Writer(body).uint32(static_cast<uint32_t>(companion.resumeAll()));
         return body;
       }},
  };
  object_ = std::make_unique<platform::dbus::ExportedObject>(
      *connection, bus::kPath, platform::dbus::Interface{bus::kInterface, std::move(methods), {}});
  // The object answers before the name is ours, so a caller that activated us finds it.
  connection->requestName(
      bus::kName, [name = std::move(name)](platform::dbus::NameState state, std::string_view why) {
        switch (state) {
          case platform::dbus::NameState::Owned:
            return name(NameOutcome::owned, why);
          case platform::dbus::NameState::OwnedElsewhere:
            return name(NameOutcome::elsewhere, why);
          case platform::dbus::NameState::Lost:
          case platform::dbus::NameState::Failed:
            return name(NameOutcome::lost, why);
        }
      });
}

}  // namespace quillbeam::companion
