#include "register_tool_fixture.hpp"

#include <fstream>
#include <sstream>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::testing {

namespace fs = std::filesystem;

fs::path RegisterToolTest::tool() {
  return QUILLBEAM_REGISTER_PATH;
}

void RegisterToolTest::SetUp() {
  home = root / "home";
  config = root / "config";
  system = root / "system";
  fs::create_directories(home);
  fs::create_directories(config);
  fs::create_directories(system);
  fs::create_directories(root / "bin");
  bridge = root / "bin" / "quillbeam_bridge";
  std::ofstream(bridge) << "#!/bin/sh\nexit 0\n";
  fs::permissions(bridge, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  environment = {{"PATH", "/usr/bin:/bin"},
                 {"HOME", home.string()},
                 {"XDG_CONFIG_HOME", config.string()},
                 {"QUILLBEAM_REGISTER_SYSTEM_ROOT", system.string()}};
}

ProgramResult RegisterToolTest::run(std::vector<std::string> arguments) {
  return runProgram({tool(), std::move(arguments), environment, root.path()});
}

ProgramResult RegisterToolTest::registerWith(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--bridge", bridge.string()});
  return run(std::move(arguments));
}

void RegisterToolTest::makeProfile(const std::string& folder) const {
  fs::create_directories(config / folder);
}

void RegisterToolTest::makeSystemFolder(const std::string& absolute) const {
  fs::create_directories(system / fs::path(absolute).relative_path());
}

fs::path RegisterToolTest::userManifest(const std::string& configFolder) const {
  return config / configFolder / "NativeMessagingHosts" / manifestName;
}

fs::path RegisterToolTest::systemManifest(const std::string& systemFolder) const {
  return system / fs::path(systemFolder).relative_path() / manifestName;
}

std::optional<NativeHostManifest> RegisterToolTest::readManifest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return NativeHostManifest::fromJson(json::parse(text.str()));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

NativeHostManifest RegisterToolTest::expectedManifest(std::vector<std::string> ids) const {
  return NativeHostManifest(bridge.string(), ids);
}

std::map<std::string, std::string> RegisterToolTest::snapshot() const {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    std::string content;
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      content = text.str();
    }
    entries[entry.path().string()] = content;
  }
  return entries;
}

std::vector<fs::path> RegisterToolTest::manifestsOnDisk() const {
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    const std::string name = entry.path().filename().string();
    // The atomic write's temporary files start with ".<manifest name>.".
    if (name.find(manifestName) != std::string::npos) found.push_back(entry.path());
  }
  return found;
}

}  // namespace quillbeam::testing
