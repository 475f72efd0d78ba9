#include "quillbeam/policy/health.hpp"

namespace quillbeam::Health {
namespace {

// Negative when lastSeen lies after now, which counts as fresh.
double age(const BrowserLink& link, Date now) {
  return now - Date::fromMs(link.lastSeen);
}

}  // namespace

bool isConnected(const std::optional<BrowserLink>& link, Date now, const BridgeAlive& bridgeAlive) {
  if (!link || !link->connected) return false;
  if (link->bridgePID) return bridgeAlive(*link->bridgePID);
  return age(*link, now) < heartbeatGrace;
}

bool extensionHealthy(const std::optional<BrowserLink>& link, bool studyBrowserRunning, Date now,
                      const BridgeAlive& bridgeAlive) {
  if (!studyBrowserRunning) return true;
  if (!link) return false;
  if (link->connected) {
    if (link->bridgePID) {
      if (bridgeAlive(*link->bridgePID)) return true;
    } else if (age(*link, now) < heartbeatGrace) {
      return true;
    }
  }
  return age(*link, now) < reconnectGrace;
}

std::optional<SessionSnapshot> effectiveSession(const std::optional<BrowserLink>& link, Date now,
                                                std::optional<std::string_view> dismissedID) {
  if (!link || !link->session) return std::nullopt;
  const SessionSnapshot& session = *link->session;
  if (!session.isActive(now)) return std::nullopt;
  if (dismissedID && *dismissedID == session.id) return std::nullopt;
  return session;
}

}  // namespace quillbeam::Health
