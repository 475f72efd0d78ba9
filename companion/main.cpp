// quillbeam-companion: pauses the desktop apps a focus session shields, for exactly as long
// as it shields them. Started by D-Bus activation (com.quillbeam.mac) or its systemd user
// unit; logs one line per event on standard error (the journal, under systemd).
#include <csignal>
#include <exception>
#include <iostream>
#include <string_view>

#include "companion_daemon.hpp"
#include "platform/linux/linux_platform.hpp"

namespace {

constexpr std::string_view kHelp = R"(Usage: quillbeam-companion
Pauses the desktop apps that a Quillbeam focus session shields (your blocked apps, other
browsers than the study browser) for exactly as long as the session shields them, and
resumes them the moment it allows them again. Paused apps are frozen, never killed.

It owns com.quillbeam.mac on the session bus and is started by D-Bus activation when the
browser extension reports a new session (through the systemd user unit
quillbeam-companion.service where systemd runs the session). It stops on SIGTERM, SIGINT
or SIGHUP, or when the session bus goes away, and resumes everything it paused first.

Files:
  $XDG_CONFIG_HOME/quillbeam/settings.json  the settings (quillbeam settings, block, unblock)
  $XDG_RUNTIME_DIR/quillbeam/paused.json    what it paused, so that nothing stays paused
  $XDG_RUNTIME_DIR/quillbeam/overrides.json allowances (quillbeam allow, resume-all)

The quillbeam command lists what it sees (quillbeam apps) and gets you out: quillbeam
allow APP, quillbeam resume-all (which works without the companion running).
)";

}  // namespace

int main(int argc, char** argv) {
  using namespace quillbeam;
  if (argc > 1) {
    const std::string_view argument = argv[1];
    if (argument == "--help" || argument == "-h") {
      std::cout << kHelp;
      return std::cout.flush() ? 0 : 1;
    }
    std::cerr << "quillbeam-companion: takes no arguments (see --help)\n";
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const auto log = [](std::string_view line) {
    std::cerr << "quillbeam-companion: " << line << "\n" << std::flush;
  };
  try {
    companion::CompanionDaemon* running = nullptr;
    auto platform = platform::makeLinuxPlatform([&](std::string_view line) {
      if (running != nullptr) {
        running->busLost(line);
      } else {
        log(line);
      }
    });
    companion::CompanionDaemon companion(*platform, companion::CompanionFiles::fromEnvironment(),
                                         log);
    running = &companion;
    const int status = companion.run();
    running = nullptr;
    return status;
  } catch (const std::exception& error) {
    log(error.what());
    return 1;
  }
}
