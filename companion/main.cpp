// quillbeam-companion: pauses the desktop apps a focus session shields, for exactly as long
// as it shields them. Started by D-Bus activation (com.quillbeam.mac) or its systemd user
// unit; logs one line per event on standard error (the journal, under systemd).
#include <csignal>
#include <exception>
#include <iostream>
#include <string_view>

#include "companion.hpp"
#include "platform/linux/linux_platform.hpp"

int main() {
  using namespace quillbeam;
  std::signal(SIGPIPE, SIG_IGN);
  const auto log = [](std::string_view line) {
    std::cerr << "quillbeam-companion: " << line << "\n" << std::flush;
  };
  try {
    companion::Companion* running = nullptr;
    auto platform = platform::makeLinuxPlatform([&](std::string_view line) {
      if (running != nullptr) {
        running->busLost(line);
      } else {
        log(line);
      }
    });
    companion::Companion companion(*platform, companion::CompanionFiles::fromEnvironment(), log);
    running = &companion;
    const int status = companion.run();
    running = nullptr;
    return status;
  } catch (const std::exception& error) {
    log(error.what());
    return 1;
  }
}
