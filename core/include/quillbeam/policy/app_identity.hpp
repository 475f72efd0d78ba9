#pragma once

#include <string>

namespace quillbeam {

// A running desktop app as the policy sees it. Every rule works on `bundleID`; `name` is
// for display only.
struct AppIdentity {
  std::string bundleID;
  std::string name;

  friend bool operator==(const AppIdentity&, const AppIdentity&) = default;
};

}  // namespace quillbeam
