#pragma once

#include <mutex>
#include <string>

#include "quillbeam/session/browser_link.hpp"

namespace quillbeam::bridge {

// The bridge's process-wide values, declared (and so constructed) in the order start-up
// sets them. Only `link` changes after start-up, and only on the main thread.
struct ProcessValues {
  std::string appBundleID;
  std::string appVersion;
  // The descriptor frames go to; written only by send() under writeLock.
  int output = -1;
  std::mutex writeLock;
  BrowserLink link;
};

}  // namespace quillbeam::bridge
