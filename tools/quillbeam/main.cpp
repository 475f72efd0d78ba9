// quillbeam: the Quillbeam browser extension from a shell, a keyboard shortcut or a status
// bar. Reads the bridge's link file and sends companion commands on the session bus.
// Run with --help.
#include <csignal>
#include <exception>
#include <iostream>
#include <string_view>
#include <variant>
#include <vector>

#include "command_line.hpp"
#include "companion_command.hpp"
#include "exit_status.hpp"
#include "send_command.hpp"
#include "status_command.hpp"

namespace {

using namespace quillbeam::cli;

struct Run {
  int operator()(const HelpRequest& help) const {
    std::cout << help.text << std::flush;
    return std::cout ? exitSuccess : exitFailure;
  }
  int operator()(const UsageError& error) const {
    complain(error.message + " (see quillbeam --help)");
    return exitUsage;
  }
  int operator()(const StatusRequest& request) const { return showStatus(request); }
  int operator()(const CommandRequest& request) const { return sendCommand(request); }
  int operator()(const CompanionRequest& request) const { return runCompanionCommand(request); }
};

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away is a failed write, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return std::visit(Run{}, parseCommandLine(arguments));
  } catch (const std::exception& error) {
    complain(error.what());
    return exitFailure;
  }
}
