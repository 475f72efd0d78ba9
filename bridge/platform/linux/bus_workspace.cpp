#include "platform/linux/bus_workspace.hpp"

#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/detached_spawn.hpp"
#include "platform/linux/handles.hpp"

namespace quillbeam::bridge::platform {
namespace {

constexpr const char* kDaemon = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";
// Replies from the local daemon take microseconds; this only bounds a hung daemon.
constexpr uint64_t kQueryTimeoutUsec = 2'000'000;

using Completion = std::function<void(std::optional<std::string>)>;

// A StartServiceByName call waiting for its reply; owned by the call's slot.
struct PendingStart {
  const BusLibrary* library;
  Completion completion;
};

// A synchronous call to the bus daemon; null when it failed.
BusMessagePtr callDaemon(const BusLibrary& lib, sd_bus* bus, const char* method, const char* types,
                         const char* arg) {
  sd_bus_message* raw = nullptr;
  if (lib.sd_bus_message_new_method_call(bus, &raw, kDaemon, kDaemonPath, kDaemon, method) < 0) {
    return ownMessage(lib, nullptr);
  }
  const auto call = ownMessage(lib, raw);
  if (types && lib.sd_bus_message_append(raw, types, arg) < 0) return ownMessage(lib, nullptr);
  BusError error(lib);
  sd_bus_message* reply = nullptr;
  if (lib.sd_bus_call(bus, raw, kQueryTimeoutUsec, error.get(), &reply) < 0) {
    return ownMessage(lib, nullptr);
  }
  return ownMessage(lib, reply);
}

std::string errorText(const sd_bus_error* error) {
  if (error->message && *error->message) return error->message;
  return error->name ? error->name : "unknown error";
}

}  // namespace

BusWorkspace::BusWorkspace(SessionBus& bus, MainLoop& loop) : bus_(bus), loop_(loop) {}

bool BusWorkspace::isRunning(std::string_view bundleID) {
  sd_bus* bus = bus_.connect();
  if (!bus) return false;
  const BusLibrary& lib = bus_.library();
  const std::string name(bundleID);
  if (lib.sd_bus_service_name_is_valid(name.c_str()) <= 0) return false;
  const auto reply = callDaemon(lib, bus, "NameHasOwner", "s", name.c_str());
  int hasOwner = 0;
  return reply && lib.sd_bus_message_read(reply.get(), "b", &hasOwner) >= 0 && hasOwner;
}

std::optional<AppLocation> BusWorkspace::locate(std::string_view bundleID) {
  sd_bus* bus = bus_.connect();
  if (!bus) return std::nullopt;
  const BusLibrary& lib = bus_.library();
  const auto reply = callDaemon(lib, bus, "ListActivatableNames", nullptr, nullptr);
  if (!reply || lib.sd_bus_message_enter_container(reply.get(), 'a', "s") <= 0) {
    return std::nullopt;
  }
  const char* name = nullptr;
  while (lib.sd_bus_message_read_basic(reply.get(), 's', &name) > 0) {
    if (bundleID == name) return AppLocation{AppLocation::Registered{std::string(bundleID)}};
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
  sd_bus* bus = bus_.connect();
  if (!bus) return fail("the session bus is not available");
  const BusLibrary& lib = bus_.library();

  sd_bus_message* raw = nullptr;
  int r = lib.sd_bus_message_new_method_call(bus, &raw, kDaemon, kDaemonPath, kDaemon,
                                             "StartServiceByName");
  const auto call = ownMessage(lib, raw);
  if (r >= 0) r = lib.sd_bus_message_append(raw, "su", name.c_str(), 0u);
  if (r < 0) return fail(std::generic_category().message(-r));

  // The completion lives with the call's slot: freed with it, whether the reply came or
  // the connection was closed first.
  auto pending = std::make_unique<PendingStart>(PendingStart{&lib, std::move(completion)});
  auto onReply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) noexcept -> int {
    auto& start = *static_cast<PendingStart*>(userdata);
    if (const sd_bus_error* error = start.library->sd_bus_message_get_error(reply)) {
      start.completion(errorText(error));
    } else {
      start.completion(std::nullopt);
    }
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  // Activation may take the app a while to come up; the bus's own timeout applies.
  r = lib.sd_bus_call_async(bus, &slot, raw, onReply, pending.get(), 0);
  if (r < 0) {
    completion = std::move(pending->completion);
    return fail(std::generic_category().message(-r));
  }
  lib.sd_bus_slot_set_destroy_callback(slot, [](void* userdata) {
    std::unique_ptr<PendingStart> owned(static_cast<PendingStart*>(userdata));
  });
  static_cast<void>(pending.release());  // now owned by the slot
  lib.sd_bus_slot_set_floating(slot, 1);
  lib.sd_bus_slot_unref(slot);
}

}  // namespace quillbeam::bridge::platform
