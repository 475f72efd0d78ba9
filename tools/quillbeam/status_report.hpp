#pragma once

#include <optional>
#include <string>

#include "quillbeam/policy/health.hpp"
#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam::cli {

// The link record as the companion app judges it at one instant: the browser is connected
// while its bridge lives, healthy within the grace times, and the session in force is the
// reported one until it ends.
struct StatusReport {
  Date now;
  std::optional<BrowserLink> link;
  bool connected = false;
  bool healthy = false;  // as if the browser runs: what the shielding would decide
  std::optional<SessionSnapshot> session;

  static StatusReport judge(std::optional<BrowserLink> link, Date now,
                            const Health::BridgeAlive& bridgeAlive);
  // The user's browser-link.json as it is now.
  static StatusReport current();

  // Whether something is counting down, so the report goes stale within a second: the
  // session's end, a break, a side quest, or the grace time of a link that is not
  // connected.
  bool countingDown() const;

  // A few lines for a person, each ending in a newline.
  std::string text() const;
  // One line of JSON with the keys the README lists; absent values are null.
  std::string json() const;
};

}  // namespace quillbeam::cli
