#include "status_report.hpp"

#include <cmath>
#include <utility>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/policy/bridge_alive.hpp"
#include "quillbeam/session/format.hpp"
#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::cli {
namespace {

// Seconds to the millisecond, so that scripts read 1499.5 rather than 1499.49987...
double seconds(double value) {
  return std::round(value * 1000.0) / 1000.0;
}

template <class T>
json::Ordered orNull(const std::optional<T>& value) {
  return value ? json::Ordered(*value) : json::Ordered(nullptr);
}

json::Ordered secondsOrNull(const std::optional<double>& value) {
  return value ? json::Ordered(seconds(*value)) : json::Ordered(nullptr);
}

json::Ordered clockOrNull(const std::optional<double>& value) {
  return value ? json::Ordered(Format::clock(*value)) : json::Ordered(nullptr);
}

json::Ordered sessionJson(const SessionSnapshot& session, Date now) {
  const auto remaining = session.remaining(now);
  const auto breakRemaining = session.breakRemaining(now);
  const auto sideQuestRemaining = session.sideQuestRemaining(now);
  return json::Ordered{
      {"id", session.id},
      {"goal", session.goal},
      {"mode", rawValue(session.mode)},
      {"strictness", rawValue(session.strictness)},
      {"strictnessTitle", title(session.strictness)},
      {"startedAt", session.startedAt},
      {"endsAt", orNull(session.endsAt)},
      {"elapsed", seconds(session.elapsed(now))},
      {"remaining", secondsOrNull(remaining)},
      {"remainingText", clockOrNull(remaining)},
      {"milestonesDone", session.milestonesDone},
      {"milestonesTotal", session.milestonesTotal},
      {"onBreak", session.onBreak(now)},
      {"breakRemaining", secondsOrNull(breakRemaining)},
      {"breakRemainingText", clockOrNull(breakRemaining)},
      {"sideQuestRemaining", secondsOrNull(sideQuestRemaining)},
      {"sideQuestRemainingText", clockOrNull(sideQuestRemaining)},
  };
}

}  // namespace

StatusReport StatusReport::judge(std::optional<BrowserLink> link, Date now,
                                 const Health::BridgeAlive& bridgeAlive) {
  StatusReport report;
  report.now = now;
  report.connected = Health::isConnected(link, now, bridgeAlive);
  report.healthy = Health::extensionHealthy(link, true, now, bridgeAlive);
  report.session = Health::effectiveSession(link, now, std::nullopt);
  report.link = std::move(link);
  return report;
}

StatusReport StatusReport::current() {
  return judge(SharedFiles::readLink(SharedFiles::browserLink()), Date::now(), Health::bridgeAlive);
}

bool StatusReport::countingDown() const {
  if (healthy && !connected) return true;
  return session && (session->remaining(now) || session->breakRemaining(now) ||
                     session->sideQuestRemaining(now));
}

std::string StatusReport::text() const {
  std::string out = "Browser: ";
  if (connected) {
    out += "connected";
  } else {
    out += healthy ? "reconnecting" : "not connected";
    out += link ? ", last seen " + Format::short_(now - Date::fromMs(link->lastSeen)) + " ago"
                : ", never seen";
  }
  if (link && link->extensionVersion) out += " (extension " + *link->extensionVersion + ")";
  out += "\n";
  if (!session) return out + "No focus session\n";

  out += "Session: " + session->goal + "\n  ";
  out += std::string(rawValue(session->mode)) + ", " + std::string(title(session->strictness));
  if (auto remaining = session->remaining(now)) out += ", " + Format::clock(*remaining) + " left";
  if (session->mode == SessionMode::goal) {
    out += ", " + std::to_string(session->milestonesDone) + " of " +
           std::to_string(session->milestonesTotal) + " milestones done";
  }
  out += "\n";
  if (auto left = session->breakRemaining(now))
    out += "  on a break, " + Format::clock(*left) + " left\n";
  if (auto left = session->sideQuestRemaining(now)) {
    out += "  on a side quest, " + Format::clock(*left) + " left\n";
  }
  return out;
}

std::string StatusReport::json() const {
  json::Ordered object{
      {"connected", connected},
      {"healthy", healthy},
      {"lastSeen", link ? json::Ordered(link->lastSeen) : json::Ordered(nullptr)},
      {"lastSeenAgo",
       link ? json::Ordered(seconds(now - Date::fromMs(link->lastSeen))) : json::Ordered(nullptr)},
      {"extensionVersion", link ? orNull(link->extensionVersion) : json::Ordered(nullptr)},
      {"session", session ? sessionJson(*session, now) : json::Ordered(nullptr)},
  };
  return object.dump(-1, ' ', false, json::Ordered::error_handler_t::replace);
}

}  // namespace quillbeam::cli
