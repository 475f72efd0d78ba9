#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillbeam::platform {

// One delivered distributed notification. `userInfo` is absent when the notification
// carried none; an entry whose value is not text holds no text.
struct Notification {
  std::string name;
  std::optional<std::map<std::string, std::optional<std::string>>> userInfo;
};

// Distributed notifications between processes of the same user.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;

  // Delivers every notification of `name`, from any sender, by running `block` on the
  // main loop. Registrations are never removed.
  virtual void addObserver(std::string name, std::function<void(const Notification&)> block) = 0;

  // Posts `name` with the given text entries as user info (none when absent), delivered
  // immediately. Main thread only; never blocks on the receivers.
  virtual void post(std::string_view name,
                    const std::optional<std::map<std::string, std::string>>& userInfo) = 0;

  // Sends everything posted so far before returning, so nothing queued is lost when the
  // process exits next.
  virtual void flush() = 0;
};

}  // namespace quillbeam::platform
