#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/session/session_snapshot.hpp"

// The rules by which the companion app judges the link record that the bridge writes.
// Pure apart from the caller's predicate; safe on any thread.
namespace quillbeam::Health {

// A connected link without a bridge process counts as connected while younger than this.
inline constexpr double heartbeatGrace = 120.0;
// Any link counts as healthy while younger than this, so a reconnecting extension is not
// shielded at once.
inline constexpr double reconnectGrace = 20.0;

// Answers whether the process with this identifier still runs. The rules call it at most
// once per call, and only when the link has a bridge process identifier. For Linux,
// Health::bridgeAlive (bridge_alive.hpp) is a ready one.
using BridgeAlive = std::function<bool(int32_t pid)>;

// Whether the extension is connected right now: a connected link whose bridge process
// lives, or, without a process identifier, whose last write is younger than
// heartbeatGrace.
bool isConnected(const std::optional<BrowserLink>& link, Date now, const BridgeAlive& bridgeAlive);

// Whether the study browser may stay unshielded: always while it does not run; otherwise
// when the link is connected as isConnected judges it, or younger than reconnectGrace.
bool extensionHealthy(const std::optional<BrowserLink>& link, bool studyBrowserRunning, Date now,
                      const BridgeAlive& bridgeAlive);

// The reported session while it is active and not dismissed; the link's connection state
// plays no part.
std::optional<SessionSnapshot> effectiveSession(const std::optional<BrowserLink>& link, Date now,
                                                std::optional<std::string_view> dismissedID);

}  // namespace quillbeam::Health
