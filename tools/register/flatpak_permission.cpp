#include "flatpak_permission.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flatpak_app.hpp"
#include "manifest_file.hpp"

namespace quillbeam::Register {
namespace {

namespace fs = std::filesystem;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Whether a key file (Flatpak metadata or overrides) grants or denies talking to
// org.freedesktop.Flatpak; nothing when it does not say.
std::optional<bool> keyFileGrantsHostCommands(std::string_view keyFile) {
  std::optional<bool> verdict;
  bool inPolicy = false;
  while (!keyFile.empty()) {
    const auto end = keyFile.find('\n');
    const std::string_view line = trimmed(keyFile.substr(0, end));
    keyFile.remove_prefix(end == std::string_view::npos ? keyFile.size() : end + 1);
    if (line.starts_with('[')) {
      inPolicy = line == "[Session Bus Policy]";
    } else if (const auto equals = line.find('=');
               inPolicy && equals != std::string_view::npos &&
               trimmed(line.substr(0, equals)) == hostCommandBusName) {
      const std::string_view level = trimmed(line.substr(equals + 1));
      verdict = level == "talk" || level == "own";
    }
  }
  return verdict;
}

}  // namespace

bool mayStartHostPrograms(const FlatpakApp& app, const Environment& environment) {
  std::vector<fs::path> layers{app.installation / "app" / app.id / "current" / "active" /
                               "metadata"};
  for (const bool system : {true, false}) {
    if (system && !app.systemInstallation) continue;
    const fs::path overrides =
        (system ? environment.flatpakSystemDir : environment.flatpakUserDir) / "overrides";
    layers.push_back(overrides / "global");
    layers.push_back(overrides / app.id);
  }
  bool may = false;
  for (const auto& layer : layers) {
    if (const auto text = readRegularFile(layer)) {
      may = keyFileGrantsHostCommands(*text).value_or(may);
    }
  }
  return may;
}

}  // namespace quillbeam::Register
