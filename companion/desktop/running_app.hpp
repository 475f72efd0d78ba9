#pragma once

#include <string>

#include "companion/desktop/shield_target.hpp"

namespace quillbeam::companion {

// One running app as a scan saw it: one unit of the user's app.slice, or all the
// processes of one app that runs outside any unit.
struct RunningApp {
  std::string bundleID;  // the catalog's identifier, or the Linux ID for an unknown app
  std::string name;      // for display
  std::string linuxId;   // the unit's application ID, or the executable's name
  ShieldTarget target;
  // A unit's freeze has taken hold ("frozen 1"), or every process is stopped.
  bool paused = false;
  // A running bridge descends from it: the browser the extension runs in.
  bool hostsBridge = false;

  friend bool operator==(const RunningApp&, const RunningApp&) = default;
};

}  // namespace quillbeam::companion
