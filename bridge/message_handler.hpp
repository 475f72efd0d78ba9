#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "companion_launcher.hpp"
#include "platform/notification_center.hpp"
#include "process_values.hpp"

namespace quillbeam::bridge {

// What the bridge does with each extension message and each companion command. Every
// member runs on the main thread only, one at a time, so `link` needs no lock.
class MessageHandler {
 public:
  MessageHandler(ProcessValues& values, platform::NotificationCenter& center,
                 CompanionLauncher& launcher);

  // Frames one message and writes it to the output under writeLock; an oversized message
  // is logged and dropped, and a failed write (the browser went away) is dropped too.
  void send(std::string_view message);

  // One complete message from the extension.
  void handle(std::string_view message);

  // Stamps the link, writes browser-link.json and announces it, even when the write failed.
  void persist();

  // A companion command: relayed byte for byte once its text decodes as a host message.
  void onCommand(const platform::Notification& notification);

  // Temporary files of the link older than this were left by a writer that died.
  static constexpr std::chrono::seconds kStaleTemporaryAge{600};

  // The last step before the process ends: the link is recorded as disconnected.
  void endOfInput();

 private:
  ProcessValues& values_;
  platform::NotificationCenter& center_;
  CompanionLauncher& launcher_;
  // Ours for the process's whole life; asked once rather than per persist.
  const int32_t pid_;
};

}  // namespace quillbeam::bridge
