#include "companion_interface.hpp"

#include "app_listing.hpp"
#include "companion_service.hpp"
#include "quillbeam/session/companion_notification.hpp"

namespace quillbeam::companion {
namespace {

using platform::dbus::Method;
using platform::dbus::MethodError;
using platform::dbus::MethodResult;
using platform::dbus::Reader;
using platform::dbus::Writer;

using Service = std::function<CompanionService*()>;

// Runs `answer` on the service, turning its refusals into errors for the caller.
template <typename Answer>
MethodResult withService(const Service& service, Answer answer) {
  CompanionService* running = service();
  if (running == nullptr) {
    return MethodError{"org.freedesktop.DBus.Error.Failed", "the companion is starting"};
  }
  try {
    std::string body;
    Writer out(body);
    answer(*running, out);
    return body;
  } catch (const CompanionError& error) {
    return MethodError{"org.freedesktop.DBus.Error.Failed", error.what()};
  }
}

}  // namespace

CompanionInterface::CompanionInterface(Service service, platform::LinuxPlatform& platform,
                                       std::function<void(NameOutcome, std::string_view)> name) {
  auto* connection = platform.sessionBus().get();
  if (connection == nullptr) return;
  std::vector<Method> methods{
      {"ListApps",
       {},
       {{"apps", std::string(kAppListingSignature)}},
       [service](Reader&) -> MethodResult {
         return withService(service, [](CompanionService& companion, Writer& out) {
           writeListings(out, companion.apps());
         });
       }},
      {"Allow",
       {{"app", "s"}, {"minutes", "u"}},
       {{"until_ms", "x"}},
       [service](Reader& in) -> MethodResult {
         const std::string app(in.string());
         const uint32_t minutes = in.uint32();
         if (app.empty() || minutes == 0 || minutes > 24 * 60) {
           return MethodError{"org.freedesktop.DBus.Error.InvalidArgs",
                              "name an app, and between 1 and 1440 minutes"};
         }
         return withService(service, [&](CompanionService& companion, Writer& out) {
           out.int64(companion.allow(app, minutes).ms());
         });
       }},
      {"Reload",
       {},
       {{"settings_problem", "s"}},
       [service](Reader&) -> MethodResult {
         return withService(service, [](CompanionService& companion, Writer& out) {
           out.string(companion.reload().value_or(""));
         });
       }},
      {"ResumeAll",
       {},
       {{"resumed", "u"}},
       [service](Reader&) -> MethodResult {
         return withService(service, [](CompanionService& companion, Writer& out) {
           out.uint32(static_cast<uint32_t>(companion.resumeAll().resumed));
         });
       }},
  };
  object_ = std::make_unique<platform::dbus::ExportedObject>(
      *connection, CompanionBus::path,
      platform::dbus::Interface{CompanionBus::interface, std::move(methods), {}});
  // The object answers before the name is ours, so a caller that activated us finds it.
  connection->requestName(
      CompanionBus::name,
      [name = std::move(name)](platform::dbus::NameState state, std::string_view why) {
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
