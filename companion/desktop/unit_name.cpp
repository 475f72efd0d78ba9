#include "companion/desktop/unit_name.hpp"

#include <algorithm>
#include <vector>

#include "quillbeam/json/utf8.hpp"

namespace quillbeam::companion {
namespace {

constexpr std::string_view kService = ".service";
constexpr std::string_view kScope = ".scope";
constexpr std::string_view kSlice = ".slice";

// The characters systemd allows in a unit name; anything else in a directory name means it
// is no unit of systemd's.
bool isUnitNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '_' || c == '.' || c == '\\' || c == '@' || c == '-';
}

bool allUnitNameChars(std::string_view s) {
  return std::all_of(s.begin(), s.end(), isUnitNameChar);
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> splitDashes(std::string_view s) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t dash; (dash = s.find('-', start)) != std::string_view::npos; start = dash + 1) {
    parts.push_back(s.substr(start, dash - start));
  }
  parts.push_back(s.substr(start));
  return parts;
}

// Splits `[<launcher>-]<ApplicationID>` and unescapes both parts.
std::optional<UnitName> fromPrefix(UnitKind kind, std::string_view prefix,
                                   std::optional<std::string> instance) {
  const std::vector<std::string_view> parts = splitDashes(prefix);
  if (std::any_of(parts.begin(), parts.end(), [](std::string_view p) { return p.empty(); })) {
    return std::nullopt;
  }
  UnitName unit{kind, {}, std::nullopt, std::move(instance)};
  std::string_view id = prefix;
  // Launchers are short words ("gnome", "KDE", "flatpak"); application IDs are reverse-DNS
  // names, so a first component with a dot is the start of the ID itself.
  if (parts.size() >= 2 && parts.front().find('.') == std::string_view::npos) {
    auto launcher = unescapeUnitText(parts.front());
    if (!launcher) return std::nullopt;
    unit.launcher = std::move(*launcher);
    id.remove_prefix(parts.front().size() + 1);
  }
  auto appId = unescapeUnitText(id);
  if (!appId || appId->empty()) return std::nullopt;
  unit.appId = std::move(*appId);
  return unit;
}

// snap.<snap>.<app>-<RANDOM>.scope: snapd names a snap's app scopes after its security
// tag. Hooks (snap.<snap>.hook.<hook>-…) run no app and are not taken.
std::optional<UnitName> parseSnap(std::string_view name) {
  if (!name.ends_with(kScope)) return std::nullopt;
  std::string_view body = name.substr(5, name.size() - 5 - kScope.size());
  const size_t dot = body.find('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view snap = body.substr(0, dot);
  const std::string_view rest = body.substr(dot + 1);
  const size_t dash = rest.find('-');
  if (rest.find('.') != std::string_view::npos || dash == 0 || dash == std::string_view::npos ||
      dash + 1 == rest.size()) {
    return std::nullopt;
  }
  const bool snapNameOk = std::all_of(snap.begin(), snap.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
  if (!snapNameOk) return std::nullopt;
  return UnitName{UnitKind::scope, std::string(snap), "snap", std::string(rest.substr(dash + 1))};
}

}  // namespace

std::optional<std::string> unescapeUnitText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
    const int high = hexValue(text[i + 2]);
    const int low = hexValue(text[i + 3]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 3;
  }
  const bool printable = std::none_of(out.begin(), out.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f || c == '/';
  });
  if (!printable || !json::isValidUtf8(out)) return std::nullopt;
  return out;
}

std::optional<UnitName> parseUnitName(std::string_view dirName) {
  if (!allUnitNameChars(dirName)) return std::nullopt;
  if (dirName.starts_with("snap.")) return parseSnap(dirName);
  if (!dirName.starts_with("app-")) return std::nullopt;

  std::string_view body = dirName.substr(4);
  if (body.ends_with(kService)) {
    body.remove_suffix(kService.size());
    if (const size_t at = body.find('@'); at != std::string_view::npos) {
      // An empty instance is a template, which never runs.
      if (at + 1 == body.size()) return std::nullopt;
      return fromPrefix(UnitKind::service, body.substr(0, at), std::string(body.substr(at + 1)));
    }
    const size_t dash = body.rfind('-');
    if (dash != std::string_view::npos && allDigits(body.substr(dash + 1))) {
      return fromPrefix(UnitKind::service, body.substr(0, dash),
                        std::string(body.substr(dash + 1)));
    }
    return fromPrefix(UnitKind::service, body, std::nullopt);
  }
  if (body.find('@') != std::string_view::npos) return std::nullopt;
  if (body.ends_with(kScope)) {
    body.remove_suffix(kScope.size());
    // The random part is required: without it the last component would be taken as one.
    const size_t dash = body.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == body.size()) return std::nullopt;
    return fromPrefix(UnitKind::scope, body.substr(0, dash), std::string(body.substr(dash + 1)));
  }
  if (body.ends_with(kSlice)) {
    body.remove_suffix(kSlice.size());
    return fromPrefix(UnitKind::slice, body, std::nullopt);
  }
  return std::nullopt;
}

bool isServiceOrScopeName(std::string_view dirName) {
  if (!allUnitNameChars(dirName)) return false;
  for (std::string_view suffix : {kService, kScope}) {
    if (dirName.size() > suffix.size() && dirName.ends_with(suffix)) return true;
  }
  return false;
}

}  // namespace quillbeam::companion
