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

// A synchronous call to the bus daemon; null when it failed.
BusMessagePtr callDaemon(sd_bus* bus, const char* method, const char* types, const char* arg) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kDaemon, kDaemonPath, kDaemon, method) < 0) {
    return nullptr;
  }
  BusMessagePtr call(raw);
  if (types && sd_bus_message_append(raw, types, arg) < 0) return nullptr;
  BusError error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call(bus, raw, kQueryTimeoutUsec, error.get(), &reply) < 0) return nullptr;
  return BusMessagePtr(reply);
}

std::string errorText(const sd_bus_error* error) {
  if (error->message && *error->message) return error->message;
  return error->name ? error->name : "unknown error";
}

}  // namespace

BusWorkspace::BusWorkspace(SessionBus& bus, MainLoop& loop) : bus_(bus), loop_(loop) {}

bool BusWorkspace::isRunning(std::string_view bundleID) {
  sd_bus* bus = bus_.get();
  const std::string name(bundleID);
  if (!bus || sd_bus_service_name_is_valid(name.c_str()) <= 0) return false;
  auto reply = callDaemon(bus, "NameHasOwner", "s", name.c_str());
  int hasOwner = 0;
  return reply && sd_bus_message_read(reply.get(), "b", &hasOwner) >= 0 && hasOwner;
}

std::optional<AppLocation> BusWorkspace::locate(std::string_view bundleID) {
  sd_bus* bus = bus_.get();
  if (!bus) return std::nullopt;
  auto reply = callDaemon(bus, "ListActivatableNames", nullptr, nullptr);
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "s") <= 0) return std::nullopt;
  const char* name = nullptr;
  while (sd_bus_message_read_basic(reply.get(), 's', &name) > 0) {
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
  sd_bus* bus = bus_.get();
  if (!bus) return fail("the session bus is not available");

  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kDaemon, kDaemonPath, kDaemon,
                                         "StartServiceByName");
  BusMessagePtr call(raw);
  if (r >= 0) r = sd_bus_message_append(raw, "su", name.c_str(), 0u);
  if (r < 0) return fail(std::generic_category().message(-r));

  // The completion lives with the call's slot: freed with it, whether the reply came or
  // the connection was closed first.
  auto pending = std::make_unique<Completion>(std::move(completion));
  auto onReply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) noexcept -> int {
    auto& done = *static_cast<Completion*>(userdata);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
      done(errorText(error));
    } else {
      done(std::nullopt);
    }
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  // Activation may take the app a while to come up; the bus's own timeout applies.
  r = sd_bus_call_async(bus, &slot, raw, onReply, pending.get(), 0);
  if (r < 0) {
    completion = std::move(*pending);
    return fail(std::generic_category().message(-r));
  }
  sd_bus_slot_set_destroy_callback(slot, [](void* userdata) {
    std::unique_ptr<Completion> owned(static_cast<Completion*>(userdata));
  });
  static_cast<void>(pending.release());  // now owned by the slot
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
}

}  // namespace quillbeam::bridge::platform
