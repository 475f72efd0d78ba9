#include "message_handler.hpp"

#include <unistd.h>

#include <cerrno>

#include "log.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "quillbeam/wire/companion_protocol.hpp"
#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::bridge {

MessageHandler::MessageHandler(ProcessValues& values, platform::NotificationCenter& center,
                               CompanionLauncher& launcher)
    : values_(values), center_(center), launcher_(launcher), pid_(::getpid()) {}

void MessageHandler::send(std::string_view message) {
  ByteString frame;
  try {
    frame = NativeMessaging::frame(message);
  } catch (const NativeMessaging::FramingError&) {
    log("dropping oversized message");
    return;
  }
  std::lock_guard lock(values_.writeLock);
  // One write call for the frame; the loop only resumes a write that a pipe cut short.
  const char* data = frame.data();
  size_t left = frame.size();
  while (left > 0) {
    ssize_t n = ::write(values_.output, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // The reader is gone; the end of input follows and records it.
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

void MessageHandler::handle(std::string_view message) {
  std::optional<ExtensionMessage> decoded;
  try {
    decoded = ExtensionMessage::decode(message);
  } catch (const DecodingError&) {
    log("ignoring undecodable message");
    return;
  }
  BrowserLink& link = values_.link;
  if (auto* hello = std::get_if<ExtensionMessage::Hello>(&decoded->value)) {
    link.connected = true;
    link.extensionVersion = std::move(hello->extensionVersion);
    persist();
    send(HostMessage{HostMessage::Hello{CompanionProtocol::version, values_.appVersion}}.encode());
  } else if (auto* state = std::get_if<ExtensionMessage::State>(&decoded->value)) {
    const bool isNew = state->session && (!link.session || link.session->id != state->session->id);
    link.connected = true;
    link.session = std::move(state->session);
    persist();
    if (isNew) launcher_.ensureAppRunning();
  }
  // Unknown message types are dropped without a word.
}

void MessageHandler::persist() {
  BrowserLink& link = values_.link;
  link.lastSeen = Date::now().ms();
  link.bridgePID = link.connected ? std::optional<int32_t>(pid_) : std::nullopt;
  try {
    SharedFiles::writeLink(link, SharedFiles::browserLink());
  } catch (const std::exception& e) {
    log(std::string("couldn't write browser link: ") + e.what());
  }
  center_.post(CompanionNotification::browserState, std::nullopt);
}

void MessageHandler::onCommand(const platform::Notification& notification) {
  if (!notification.userInfo) return;
  auto it = notification.userInfo->find("json");
  if (it == notification.userInfo->end() || !it->second) return;
  const std::string& text = *it->second;
  try {
    HostMessage::decode(text);
  } catch (const DecodingError&) {
    log("ignoring malformed command");
    return;
  }
  // The companion's own bytes go out, not a fresh encoding: fields this side does not
  // know reach the extension unchanged.
  send(text);
}

void MessageHandler::endOfInput() {
  values_.link.connected = false;
  persist();
  // A bridge killed in the middle of a persist leaves its temporary file behind; the next
  // one to end cleanly removes it, once it is old enough to belong to nobody alive.
  SharedFiles::removeStaleTemporaries(SharedFiles::browserLink(), kStaleTemporaryAge);
}

}  // namespace quillbeam::bridge
