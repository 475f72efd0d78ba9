#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "desktop/shield_target.hpp"

namespace quillbeam::companion {

// One app the companion paused, as recorded before it paused it.
struct PausedApp {
  std::string bundleID;
  std::string name;
  ShieldTarget target;

  static PausedApp fromJson(const json::Value& value);
  json::Ordered toJson() const;
  friend bool operator==(const PausedApp&, const PausedApp&) = default;
};

// The record of everything paused, so that whatever happens to the companion (a crash,
// kill -9) its next start, or `quillbeam resume-all`, can resume it.
struct PauseRecord {
  // The entries in `file`; none when it does not exist. Throws std::runtime_error naming the
  // file when it cannot be read or is not a record: the caller says so and resumes nothing
  // it cannot name.
  static std::vector<PausedApp> read(const std::filesystem::path& file);
  // Replaces `file` atomically (private to the user); an empty list removes it. Throws
  // std::runtime_error naming the file: nothing may be paused that is not recorded.
  static void write(const std::filesystem::path& file, const std::vector<PausedApp>& apps);
};

}  // namespace quillbeam::companion
