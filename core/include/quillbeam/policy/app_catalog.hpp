#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quillbeam/policy/known_app.hpp"

// The fixed vocabulary of desktop apps that the policy knows. Each table is built once, on
// first use (thread-safe), and never changes; the references stay valid for the life of
// the program.
namespace quillbeam::AppCatalog {

// The 13 web browsers, in a fixed order.
const std::vector<KnownApp>& browsers();
// The browsers that run the companion extension: Google Chrome, Arc, Brave, Microsoft
// Edge, Vivaldi and Chromium, in the order of browsers().
const std::vector<KnownApp>& extensionBrowsers();
// The 27 common distracting apps, some of them blocked for a new user.
const std::vector<KnownApp>& distractions();
// Bundle identifiers that are never shielded: system apps and the companion app itself.
const std::set<std::string, std::less<>>& exempt();

// The browser row that lists `bundleID` (exact, case-sensitive), or nullptr.
const KnownApp* browser(std::string_view bundleID);

}  // namespace quillbeam::AppCatalog
