#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/dbus/message.hpp"
#include "platform/linux/session_bus.hpp"

namespace quillbeam::platform {

// What one desktop notification says.
struct DesktopNotification {
  std::string summary;
  std::string body;
  std::string icon;  // an icon name or file URI; empty for none
  // How long it stays up; absent lets the notification server decide.
  std::optional<std::chrono::milliseconds> expireAfter;
};

// Desktop notifications through org.freedesktop.Notifications on the session bus, one
// per key, each new one for a key replacing the last in place (also when the server has
// not yet told us the last one's id: the new one waits for it). Nothing waits on the
// bus. When no notification server answers, or there is no bus, it says so once through
// `log` and goes on trying with later notifications; the next success ends the outage.
// Texts that are not valid UTF-8 are repaired, never sent as they are. Main thread only.
class DesktopNotifier {
 public:
  using Log = std::function<void(std::string_view)>;

  // How long a notification server may take to answer (it may be started for us).
  static constexpr std::chrono::milliseconds kReplyTimeout{10'000};

  // `bus` must outlive the notifier. `appName` is what the server shows as the sender;
  // `desktopEntry` names our desktop file (without ".desktop") for servers that look up
  // our icon and settings there.
  DesktopNotifier(SessionBus& bus, std::string appName, std::string desktopEntry, Log log,
                  std::chrono::milliseconds replyTimeout = kReplyTimeout);
  DesktopNotifier(const DesktopNotifier&) = delete;
  DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  // Shows `notification` for `key`, replacing the key's previous one.
  void show(const std::string& key, DesktopNotification notification);
  // Takes the key's notification down, if it is up.
  void close(const std::string& key);

 private:
  struct Entry {
    std::optional<uint32_t> id;               // the server's, once it has answered
    bool waiting = false;                     // a Notify is on its way
    std::optional<DesktopNotification> next;  // to send once the server has answered
    bool closeWanted = false;
  };
  void notify(const std::string& key, Entry& entry, const DesktopNotification& notification);
  void answered(const std::string& key, const dbus::Message& reply);
  void sendClose(uint32_t id);
  void failed(std::string_view why);

  SessionBus& bus_;
  std::string appName_;
  std::string desktopEntry_;
  Log log_;
  std::chrono::milliseconds replyTimeout_;
  std::map<std::string, Entry> entries_;
  bool failing_ = false;  // an outage has been logged and not ended yet
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<DesktopNotifier*> self_ = std::make_shared<DesktopNotifier*>(this);
};

}  // namespace quillbeam::platform
