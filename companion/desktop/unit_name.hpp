#pragma once

#include <optional>
#include <string>
#include <string_view>

// The app that a systemd unit in the user's app.slice names, read from the unit's cgroup
// directory name by the desktop convention:
//   app[-<launcher>]-<ApplicationID>[@<RANDOM>].service
//   app[-<launcher>]-<ApplicationID>-<RANDOM>.scope
//   app[-<launcher>]-<ApplicationID>.slice      (groups an app's units)
//   snap.<snap>.<app>-<RANDOM>.scope            (the snap name is the app's ID)
// Flatpak apps follow the first forms with the launcher "flatpak".
namespace quillbeam::companion {

enum class UnitKind { service, scope, slice };

struct UnitName {
  UnitKind kind = UnitKind::scope;
  // Unescaped; never empty.
  std::string appId;
  // Unescaped; absent when the name has none ("gnome", "KDE", "flatpak", "snap").
  std::optional<std::string> launcher;
  // The random / instance part, still escaped as in the name; absent when there is none.
  std::optional<std::string> instance;

  friend bool operator==(const UnitName&, const UnitName&) = default;
};

// The app named by `dirName`, or nothing when the name does not follow the convention or
// holds text we refuse (a malformed escape, invalid UTF-8, control characters, '/', an
// empty ID). The launcher is one dash-separated component without a dot; the ID is what
// remains before the random part, so an ID whose own dashes were left unescaped (Flatpak
// does so) stays whole after a launcher: `app-flatpak-org.foo.my-app-12.scope` names
// `org.foo.my-app`. A `.service` without '@' whose last component is all digits carries
// the older `-<RANDOM>` form.
std::optional<UnitName> parseUnitName(std::string_view dirName);

// `text` with systemd's `\xNN` escapes undone, or nothing when an escape is malformed or
// the result is not printable UTF-8 (control characters, DEL and '/' are refused).
std::optional<std::string> unescapeUnitText(std::string_view text);

// Whether `dirName` is a plausible systemd service or scope name (any unit that can be
// frozen on its own; slices are not: freezing one freezes everything under it).
bool isServiceOrScopeName(std::string_view dirName);

// Whether `dirName` names a slice: a cgroup that only groups units.
inline bool isSliceName(std::string_view dirName) {
  return dirName.ends_with(".slice");
}

}  // namespace quillbeam::companion
