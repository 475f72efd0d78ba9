#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillbeam/wire/native_host_manifest.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

namespace quillbeam::testing {

// The built quillbeam-register run against a throwaway home: HOME, XDG_CONFIG_HOME and
// the system root all point into one scratch folder, with a stand-in bridge executable.
class RegisterToolTest : public ::testing::Test {
 protected:
  static std::filesystem::path tool();
  static constexpr char manifestName[] = "com.quillbeam.companion.json";
  static constexpr char productExtensionID[] = "anaamofdcieamnmnkhkdbgikgmcpncak";

  void SetUp() override;

  // Runs the tool with these arguments in the scratch environment.
  ProgramResult run(std::vector<std::string> arguments);
  // The same, with --bridge <stand-in bridge> added first.
  ProgramResult registerWith(std::vector<std::string> arguments);

  // Creates <config>/<folder>, as a browser's first start does.
  void makeProfile(const std::string& folder) const;
  // Creates a folder below the system root ("/usr/lib/chromium").
  void makeSystemFolder(const std::string& absolute) const;

  std::filesystem::path userManifest(const std::string& configFolder) const;
  std::filesystem::path systemManifest(const std::string& systemFolder) const;

  // The manifest file decoded, or nothing when it is missing or invalid.
  static std::optional<NativeHostManifest> readManifest(const std::filesystem::path& file);
  NativeHostManifest expectedManifest(std::vector<std::string> ids = {productExtensionID}) const;

  // Every file and folder below the scratch root with its content (folders: empty), to
  // prove a run changed nothing.
  std::map<std::string, std::string> snapshot() const;
  // The paths below the scratch root whose file name is the manifest's.
  std::vector<std::filesystem::path> manifestsOnDisk() const;

  TempDir root{"quillbeam-register-test"};
  std::filesystem::path home;
  std::filesystem::path config;
  std::filesystem::path system;
  std::filesystem::path bridge;
  std::map<std::string, std::string> environment;
};

}  // namespace quillbeam::testing
