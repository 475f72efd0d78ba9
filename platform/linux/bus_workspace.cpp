#include "platform/linux/bus_workspace.hpp"

#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/dbus/names.hpp"
#include "platform/linux/detached_spawn.hpp"

namespace quillbeam::platform {
namespace {

using Completion = std::function<void(std::optional<std::string>)>;

}  // namespace

BusWorkspace::BusWorkspace(SessionBus& bus, MainLoop& loop, std::chrono::milliseconds queryTimeout)
    : bus_(bus), loop_(loop), queryTimeout_(queryTimeout) {}

void BusWorkspace::askDaemon(dbus::Connection& connection, std::string member,
                             std::optional<std::string_view> argument,
                             std::function<void(const dbus::Message*)> answer) {
  dbus::Message call = dbus::Message::busCall(member);
  if (argument) {
    call.signature = "s";
    dbus::Writer(call.body).string(*argument);
  }
  connection.call(
      std::move(call),
      [this, member, answer = std::move(answer)](const dbus::Message& reply) {
        if (reply.type == dbus::MessageType::Error &&
            reply.errorName == dbus::Connection::kNoReplyError) {
          bus_.log("the session bus did not answer " + member + " within " +
                   std::to_string(queryTimeout_.count()) + " ms");
        }
        answer(reply.type == dbus::MessageType::MethodReturn ? &reply : nullptr);
      },
      queryTimeout_);
}

void BusWorkspace::isRunning(std::string_view bundleID, std::function<void(bool)> answer) {
  dbus::Connection* connection = bus_.get();
  if (!connection || !dbus::isBusName(bundleID) || bundleID.starts_with(':')) {
    loop_.post([answer = std::move(answer)] { answer(false); });
    return;
  }
  askDaemon(*connection, "NameHasOwner", bundleID,
            [answer = std::move(answer)](const dbus::Message* reply) {
              try {
                answer(reply && reply->signature == "b" && reply->bodyReader().boolean());
              } catch (const dbus::ProtocolError&) {
                answer(false);
              }
            });
}

void BusWorkspace::locate(std::string_view bundleID,
                          std::function<void(std::optional<AppLocation>)> answer) {
  dbus::Connection* connection = bus_.get();
  if (!connection) {
    loop_.post([answer = std::move(answer)] { answer(std::nullopt); });
    return;
  }
  askDaemon(*connection, "ListActivatableNames", std::nullopt,
            [id = std::string(bundleID), answer = std::move(answer)](const dbus::Message* reply) {
              std::optional<AppLocation> found;
              if (reply && reply->signature == "as") {
                try {
                  dbus::Reader names = reply->bodyReader();
                  const size_t end = names.beginArray(4);
                  while (!found && names.position() < end) {
                    if (names.string() == id) found = AppLocation{AppLocation::Registered{id}};
                  }
                } catch (const dbus::ProtocolError&) {
                  // An unreadable list tells us nothing.
                }
              }
              answer(std::move(found));
            });
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

}  // namespace quillbeam::platform
