#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::companion {

// An app as a user names it on the command line, resolved to what the policy matches.
struct NamedApp {
  std::string name;
  std::vector<std::string> bundleIDs;  // every identifier under which it runs
};

// Resolves what a user typed: a catalog app's name ("Discord", any case) or one of its
// identifiers gives the whole catalog row; a Linux ID or executable our table knows gives
// its catalog app; anything else is taken as the identifier of an app the catalog does not
// know, as the companion lists it. Empty text gives no identifiers.
NamedApp resolveApp(std::string_view typed);

}  // namespace quillbeam::companion
