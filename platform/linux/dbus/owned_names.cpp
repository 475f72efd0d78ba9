#include "platform/linux/dbus/owned_names.hpp"

#include <utility>

#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/dbus/names.hpp"

namespace quillbeam::platform::dbus {
namespace {

constexpr uint32_t kDoNotQueue = 0x4;
// RequestName's answers; being queued (2) cannot happen without queueing.
enum RequestNameReply : uint32_t { kPrimaryOwner = 1, kExists = 3, kAlreadyOwner = 4 };

}  // namespace

void OwnedNames::request(std::string name, NameWatch watch) {
  if (!isBusName(name) || name.starts_with(':')) {
    loop_.post([watch = std::move(watch), name] {
      watch(NameState::Failed, "'" + toValidText(name) + "' is not a well-known bus name");
    });
    return;
  }
  Entry& entry = names_[name];
  entry.watch = std::move(watch);
  entry.request = ++lastRequest_;
  Message call = Message::busCall("RequestName");
  call.signature = "su";
  Writer body(call.body);
  body.string(name);
  body.uint32(kDoNotQueue);
  connection_.call(std::move(call), [self = std::weak_ptr(self_), name,
                                     request = entry.request](const Message& reply) {
    if (const auto names = self.lock()) (*names)->settle(name, request, reply);
  });
}

void OwnedNames::release(std::string_view name) {
  const auto found = names_.find(name);
  if (found == names_.end()) return;
  names_.erase(found);
  // Sent even while our request is on its way: the bus handles both in order.
  Message call = Message::busCall("ReleaseName");
  call.signature = "s";
  Writer(call.body).string(name);
  connection_.call(std::move(call), [](const Message&) {});
}

void OwnedNames::settle(const std::string& name, uint64_t request, const Message& reply) {
  const auto found = names_.find(name);
  if (found == names_.end() || found->second.request != request) return;
  uint32_t outcome = 0;
  if (reply.type == MessageType::MethodReturn && reply.signature == "u") {
    try {
      outcome = reply.bodyReader().uint32();
    } catch (const ProtocolError&) {
      outcome = 0;
    }
  }
  switch (outcome) {
    case kPrimaryOwner:
    case kAlreadyOwner:
      // NameAcquired may have told us already.
      if (!found->second.owned) change(name, true, NameState::Owned, "");
      return;
    case kExists:
      change(name, false, NameState::OwnedElsewhere, "another process owns the name");
      return;
    default:
      change(name, false, NameState::Failed,
             reply.type == MessageType::Error ? errorText(reply) : "the bus answered oddly");
  }
}

void OwnedNames::take(const Message& signal) {
  // Only the daemon can send as org.freedesktop.DBus: nobody else can fake these.
  if (signal.sender != "org.freedesktop.DBus" || signal.interface != "org.freedesktop.DBus" ||
      signal.signature != "s") {
    return;
  }
  const bool acquired = signal.member == "NameAcquired";
  if (!acquired && signal.member != "NameLost") return;
  std::string name;
  try {
    name = signal.bodyReader().string();
  } catch (const ProtocolError&) {
    return;
  }
  const auto found = names_.find(name);
  if (found == names_.end() || found->second.owned == acquired) return;
  change(name, acquired, acquired ? NameState::Owned : NameState::Lost,
         acquired ? "" : "the bus gave the name to another process");
}

void OwnedNames::closed() {
  for (auto& [name, entry] : names_) {
    if (entry.owned) {
      entry.owned = false;
      // NameAcquired may have come before the reply to our request, which is now an
      // error made here: the loss is all there is to tell.
      entry.request = 0;
      loop_.post([self = std::weak_ptr(self_), watch = entry.watch] {
        if (self.lock()) watch(NameState::Lost, "the bus connection closed");
      });
    }
  }
}

void OwnedNames::change(const std::string& name, bool owned, NameState state,
                        std::string_view why) {
  Entry& entry = names_.at(name);
  entry.owned = owned;
  // A copy: the watch may release the name, and with it the entry.
  const NameWatch watch = entry.watch;
  watch(state, why);
}

}  // namespace quillbeam::platform::dbus
