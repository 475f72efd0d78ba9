#include "platform/linux/desktop_notifier.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/dbus/marshal.hpp"
#include "platform/linux/dbus/names.hpp"

namespace quillbeam::platform {
namespace {

constexpr const char* kServer = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

dbus::Message serverCall(std::string member) {
  return dbus::Message::methodCall(kServer, kPath, kServer, std::move(member));
}

}  // namespace

DesktopNotifier::DesktopNotifier(SessionBus& bus, std::string appName, std::string desktopEntry,
                                 Log log, std::chrono::milliseconds replyTimeout)
    : bus_(bus),
      appName_(dbus::toValidText(appName)),
      desktopEntry_(dbus::toValidText(desktopEntry)),
      log_(std::move(log)),
      replyTimeout_(replyTimeout) {}

void DesktopNotifier::show(const std::string& key, DesktopNotification notification) {
  Entry& entry = entries_[key];
  entry.closeWanted = false;
  if (entry.waiting) {
    // Replacing needs the id the server is about to give: the latest waits for it.
    entry.next = std::move(notification);
    return;
  }
  notify(key, entry, notification);
}

void DesktopNotifier::close(const std::string& key) {
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  if (found->second.waiting) {
    found->second.next.reset();
    found->second.closeWanted = true;
    return;
  }
  if (found->second.id) sendClose(*found->second.id);
  entries_.erase(found);
}

void DesktopNotifier::notify(const std::string& key, Entry& entry,
                             const DesktopNotification& notification) {
  dbus::Connection* connection = bus_.get();
  if (!connection) {
    failed("there is no session bus");
    return;
  }
  // Notify(s app_name, u replaces_id, s app_icon, s summary, s body, as actions,
  //        a{sv} hints, i expire_timeout) -> u id
  dbus::Message call = serverCall("Notify");
  call.signature = "susssasa{sv}i";
  dbus::Writer out(call.body);
  out.string(appName_);
  out.uint32(entry.id.value_or(0));
  out.string(dbus::toValidText(notification.icon));
  out.string(dbus::toValidText(notification.summary));
  out.string(dbus::toValidText(notification.body));
  out.endArray(out.beginArray(4));
  const auto hints = out.beginArray(8);
  if (!desktopEntry_.empty()) {
    out.beginStruct();
    out.string("desktop-entry");
    out.variantType("s");
    out.string(desktopEntry_);
  }
  out.endArray(hints);
  const auto expire = notification.expireAfter ? notification.expireAfter->count() : -1;
  out.int32(static_cast<int32_t>(std::clamp<int64_t>(expire, -1, INT32_MAX)));
  entry.waiting = true;
  connection->call(
      std::move(call),
      [self = std::weak_ptr(self_), key](const dbus::Message& reply) {
        if (const auto notifier = self.lock()) (*notifier)->answered(key, reply);
      },
      replyTimeout_);
}

void DesktopNotifier::answered(const std::string& key, const dbus::Message& reply) {
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  entry.waiting = false;
  if (reply.type == dbus::MessageType::MethodReturn && reply.signature == "u" &&
      reply.bodyReader().holds("u")) {
    entry.id = reply.bodyReader().uint32();
    failing_ = false;
  } else {
    // The last id, if any, may still be on screen: a later notification replaces it.
    failed(reply.type == dbus::MessageType::Error ? dbus::errorText(reply)
                                                  : "the server answered oddly");
  }
  if (entry.closeWanted) {
    if (entry.id) sendClose(*entry.id);
    entries_.erase(found);
  } else if (entry.next) {
    const DesktopNotification next = std::move(*entry.next);
    entry.next.reset();
    notify(key, entry, next);
  }
}

void DesktopNotifier::sendClose(uint32_t id) {
  dbus::Connection* connection = bus_.get();
  if (!connection) return;
  dbus::Message call = serverCall("CloseNotification");
  call.signature = "u";
  dbus::Writer(call.body).uint32(id);
  // An error only means the notification was gone already.
  connection->call(
      std::move(call), [](const dbus::Message&) {}, replyTimeout_);
}

void DesktopNotifier::failed(std::string_view why) {
  if (failing_) return;
  failing_ = true;
  if (log_) log_(std::string("couldn't show desktop notifications: ").append(why));
}

}  // namespace quillbeam::platform
