#include "send_command.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "exit_status.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/format.hpp"
#include "quillbeam/session/validation.hpp"
#include "session_bus_access.hpp"
#include "status_report.hpp"

namespace quillbeam::cli {
namespace {

// The anchors as bare host names, without repeats; what is no site is left out, and said.
std::vector<std::string> normalizedAnchors(const std::vector<std::string>& typed) {
  std::vector<std::string> anchors;
  for (const auto& anchor : typed) {
    std::string host = Validation::normalizeDomain(anchor);
    if (host.empty()) {
      complain("ignoring anchor '" + anchor + "': not a site name");
    } else if (std::find(anchors.begin(), anchors.end(), host) == anchors.end()) {
      anchors.push_back(std::move(host));
    }
  }
  return anchors;
}

std::string notConnectedReason(const StatusReport& status) {
  std::string reason = "no browser is connected";
  if (status.link) {
    reason +=
        " (last seen " + Format::short_(status.now - Date::fromMs(status.link->lastSeen)) + " ago)";
  }
  return reason;
}

}  // namespace

int sendCommand(CommandRequest request) {
  if (auto* start = std::get_if<HostMessage::Start>(&request.message.value)) {
    start->draft.anchors = normalizedAnchors(start->draft.anchors);
    if (auto problem = Validation::problem(start->draft)) {
      // The core's sentence, as the companion app shows it.
      std::cerr << *problem << "\n";
      return exitFailure;
    }
  }

  const StatusReport status = StatusReport::current();
  if (!status.connected) {
    if (!request.anyway) {
      complain(notConnectedReason(status) + "; nothing sent (--anyway sends it regardless)");
      return exitNotConnected;
    }
    complain(notConnectedReason(status) + "; sending anyway");
  }

  std::string problem;
  auto platform = openSessionBus(problem);
  platform->notifications().post(
      CompanionNotification::command,
      std::map<std::string, std::string>{{"json", request.message.encode()}});
  // The process ends next: the bus must have taken the command first.
  platform->notifications().flush();
  if (!busUsable(*platform)) {
    complain("not sent: " + problem);
    return exitFailure;
  }
  return exitSuccess;
}

}  // namespace quillbeam::cli
