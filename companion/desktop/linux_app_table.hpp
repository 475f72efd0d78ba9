#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "quillbeam/policy/app_identity.hpp"

// The catalog's apps as Linux names them: Flathub IDs, distribution desktop-file IDs and
// Snap names, and the names of their executables. Each maps onto the catalog's bundle
// identifier, so the policy judges a Linux app as it would the same app elsewhere.
// Matching is exact and case-sensitive, as desktop-file IDs and file names are
// ("Discord" and "discord" are both listed where both occur).
namespace quillbeam::companion {

struct KnownLinuxApp {
  std::string_view bundleID;  // an identifier of the catalog
  std::string_view name;      // the catalog's display name
};

struct LinuxAppRow {
  std::string_view linuxId;
  KnownLinuxApp app;
};

// The app a Flatpak / desktop-file / Snap ID names, or nothing.
std::optional<KnownLinuxApp> appForLinuxId(std::string_view linuxId);

// The app whose main executable has this file name, or nothing. Only names that belong
// to the app alone are listed: no wrappers, interpreters or shared helper names.
std::optional<KnownLinuxApp> appForExecutable(std::string_view executable);

// The identity the policy judges: the table's catalog entry, or else the Linux ID itself
// (so a user can block any app by it), named by its last dot-separated part.
AppIdentity identify(std::string_view linuxId);

// The whole tables, for checks against the catalog.
std::span<const LinuxAppRow> linuxIdRows();
std::span<const LinuxAppRow> executableRows();

}  // namespace quillbeam::companion
