#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/linux/linux_platform.hpp"

namespace quillbeam::cli {

// The bridge's own desktop services on the session bus, found the way the bridge finds
// them. `problem` must outlive the platform: it receives the first reason the bus was
// given up (none was usable, it went away, it refused us), and `onProblem` runs then.
std::unique_ptr<platform::LinuxPlatform> openSessionBus(std::string& problem,
                                                        std::function<void()> onProblem = {});

// Whether the platform's bus connection is still in use.
inline bool busUsable(platform::LinuxPlatform& platform) {
  return platform.sessionBus().get() != nullptr;
}

}  // namespace quillbeam::cli
