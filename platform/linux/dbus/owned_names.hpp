#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/dbus/message.hpp"
#include "platform/linux/event_loop.hpp"

namespace quillbeam::platform::dbus {

class Connection;

// What became of a well-known name we asked for, or held.
enum class NameState {
  Owned,           // we are its primary owner
  OwnedElsewhere,  // another connection owns it; we are not queued for it
  Lost,            // we owned it and no longer do: taken over, or the connection closed
  Failed,          // the bus refused the request, or the connection closed first
};

// Hears each change of a name's state, with a reason for Lost and Failed.
using NameWatch = std::function<void(NameState state, std::string_view why)>;

// The well-known names a connection asks for. Each is requested without queueing, so a
// name another process holds is reported as such at once instead of arriving some day,
// and without allowing replacement, so no other process can take it from us; the bus's
// NameAcquired and NameLost keep the state true all the same. Main thread only.
class OwnedNames {
 public:
  OwnedNames(Connection& connection, EventLoop& loop) : connection_(connection), loop_(loop) {}
  OwnedNames(const OwnedNames&) = delete;
  OwnedNames& operator=(const OwnedNames&) = delete;

  // Asks for `name`; `watch` hears the outcome (on the loop, never from inside this call)
  // and every later change. Asking again for a name replaces its watch.
  void request(std::string name, NameWatch watch);
  // Gives `name` up, if we asked for it; its watch hears nothing more.
  void release(std::string_view name);

  // Takes the bus's NameAcquired and NameLost signals for names asked for here.
  void take(const Message& signal);
  // The connection closed: every name held is lost.
  void closed();

 private:
  struct Entry {
    NameWatch watch;
    uint64_t request = 0;  // tells a stale RequestName reply from the current one
    bool owned = false;
  };
  void settle(const std::string& name, uint64_t request, const Message& reply);
  void change(const std::string& name, bool owned, NameState state, std::string_view why);

  Connection& connection_;
  EventLoop& loop_;
  std::map<std::string, Entry, std::less<>> names_;
  uint64_t lastRequest_ = 0;
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<OwnedNames*> self_ = std::make_shared<OwnedNames*>(this);
};

}  // namespace quillbeam::platform::dbus
