#include "platform/linux/bus_workspace.hpp"

#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/dbus/names.hpp"
#include "platform/linux/detached_spawn.hpp"

namespace quillbeam::bridge::platform {
namespace {

using Completion = std::function<void(std::optional<std::string>)>;

// A call to the bus daemon with one string argument, or none when `argument` is absent;
// the method return, or absent when the call failed.
std::optional<dbus::Message> askDaemon(dbus::Connection& connection, std::string member,
                                       std::optional<std::string_view> argument) {
  dbus::Message call = dbus::Message::busCall(std::move(member));
  if (argument) {
    call.signature = "s";
    dbus::Writer(call.body).string(*argument);
  }
  auto reply = connection.callAndWait(std::move(call), BusWorkspace::kQueryTimeout);
  if (!reply || reply->type != dbus::MessageType::MethodReturn) return std::nullopt;
  return reply;
}

}  // namespace

BusWorkspace::BusWorkspace(SessionBus& bus, MainLoop& loop) : bus_(bus), loop_(loop) {}

bool BusWorkspace::isRunning(std::string_view bundleID) {
  dbus::Connection* connection = bus_.get();
  if (!connection || !dbus::isBusName(bundleID) || bundleID.starts_with(':')) return false;
  const auto reply = askDaemon(*connection, "NameHasOwner", bundleID);
  if (!reply || reply->signature != "b") return false;
  try {
    return reply->bodyReader().boolean();
  } catch (const dbus::ProtocolError&) {
    return false;
  }
}

std::optional<AppLocation> BusWorkspace::locate(std::string_view bundleID) {
  dbus::Connection* connection = bus_.get();
  if (!connection) return std::nullopt;
  const auto reply = askDaemon(*connection, "ListActivatableNames", std::nullopt);
  if (!reply || reply->signature != "as") return std::nullopt;
  try {
    dbus::Reader names = reply->bodyReader();
    const size_t end = names.beginArray(4);
    while (names.position() < end) {
      if (names.string() == bundleID) {
        return AppLocation{AppLocation::Registered{std::string(bundleID)}};
      }
    }
  } catch (const dbus::ProtocolError&) {
    // An unreadable list tells us nothing.
  }
  return std::nullopt;
}

std::filesystem::path BusWorkspace::bundleExecutable(const std::filesystem::path& bundle) {
  // "X.app/" names the same directory as "X.app".
  const std::filesystem::path dir = bundle.has_filename() ? bundle : bundle.parent_path();
  return dir / "Contents" / "MacOS" / dir.stem();
}

void BusWorkspace::openInBackground(const AppLocation& app, Completion completion) {
  if (const auto* registered = std::get_if<AppLocation::Registered>(&app.where)) {
    startService(registered->bundleID, std::move(completion));
    return;
  }
  const auto executable = bundleExecutable(std::get<AppLocation::Bundle>(app.where).path);
  // The fork and the wait for exec happen off the main thread, so the bridge never waits
  // on a launch.
  try {
    std::thread([executable, completion] { completion(spawnDetached(executable)); }).detach();
  } catch (const std::system_error& e) {
    loop_.post([completion, text = std::string(e.what())] { completion(text); });
  }
}

void BusWorkspace::startService(const std::string& name, Completion completion) {
  auto fail = [this, &completion](std::string text) {
    loop_.post([completion = std::move(completion), text = std::move(text)] { completion(text); });
  };
  dbus::Connection* connection = bus_.get();
  if (!connection) return fail("the session bus is not available");
  if (!dbus::isBusName(name) || name.starts_with(':')) return fail("not a bus name: " + name);
  dbus::Message call = dbus::Message::busCall("StartServiceByName");
  call.signature = "su";
  dbus::Writer arguments(call.body);
  arguments.string(name);
  arguments.uint32(0);
  // Activation may take the app a while to come up; the daemon bounds it and answers
  // with an error then.
  connection->call(std::move(call),
                   [completion = std::move(completion)](const dbus::Message& reply) {
                     if (reply.type == dbus::MessageType::Error) {
                       completion(dbus::errorText(reply));
                     } else {
                       completion(std::nullopt);
                     }
                   });
}

}  // namespace quillbeam::bridge::platform
