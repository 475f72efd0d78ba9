#include "startup.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "companion_launcher.hpp"
#include "input_backlog.hpp"
#include "input_reader.hpp"
#include "log.hpp"
#include "message_handler.hpp"
#include "platform/linux/linux_platform.hpp"
#include "process_values.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "version.hpp"

namespace quillbeam::bridge {

int run(int argc, char** argv) {
  // A browser that closed our standard output must not kill us before the disconnection
  // is recorded; the failed write is simply dropped.
  std::signal(SIGPIPE, SIG_IGN);

  auto platform = platform::makeLinuxPlatform(log);
  platform::MainLoop& loop = platform->loop();
  platform::NotificationCenter& center = platform->notifications();

  ProcessValues values;
  values.appBundleID = CompanionBus::name;
  values.appVersion = bridgeVersion();
  values.output = STDOUT_FILENO;
  // writeLock is constructed with `values`.
  // The stored record is taken unchanged; nothing is written before the first message.
  values.link = SharedFiles::readLink(SharedFiles::browserLink())
                    .value_or(BrowserLink(true, Date::now().ms()));

  std::optional<std::filesystem::path> executable;
  if (argc > 0 && argv[0] != nullptr) executable = argv[0];
  CompanionLauncher launcher(values, platform->workspace(), std::move(executable));
  MessageHandler handler(values, center, launcher);

  center.addObserver(CompanionNotification::command,
                     [&handler](const platform::Notification& n) { handler.onCommand(n); });

  // A queued message costs its bytes plus the block around it. The bound is small: the
  // main thread is the slower side during a burst, so a deeper queue gains nothing, while
  // the memory it held would stay with the process (scattered through the allocator)
  // after the burst. A larger message still passes, alone.
  constexpr size_t perMessageOverhead = 512;
  InputBacklog backlog(128u * 1024u);

  std::thread([&loop, &handler, &center, &backlog] {
    readInput(
        STDIN_FILENO,
        [&loop, &handler, &backlog](ByteString&& message) {
          const size_t cost = message.size() + perMessageOverhead;
          backlog.admit(cost);
          loop.post([&handler, &backlog, cost, message = std::move(message)] {
            handler.handle(message);
            backlog.release(cost);
          });
        },
        [&loop, &handler, &center] {
          loop.post([&handler, &center] {
            handler.endOfInput();
            // The last browser-state signal must leave before the process does.
            center.flush();
            std::fflush(nullptr);
            ::_exit(0);
          });
        });
  }).detach();

  loop.run();
  return 0;
}

}  // namespace quillbeam::bridge
