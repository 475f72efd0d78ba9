#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "quillbeam/policy/companion_settings.hpp"

namespace quillbeam::companion {

// A settings file that cannot be used; what() names the file and the reason.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The settings in `file`: the defaults when it does not exist. Throws SettingsError when it
// exists but is unreadable, not JSON, or not settings (a wrong type, a missing key).
CompanionSettings readSettings(const std::filesystem::path& file);

// Replaces `file` atomically with `settings`, pretty-printed for people who edit it,
// creating its directory as needed. Throws SettingsError.
void writeSettings(const std::filesystem::path& file, const CompanionSettings& settings);

// The companion's view of the settings: the last good ones (the defaults until a file
// parses). A broken file is never overwritten here; the problem is kept for whoever asks.
class SettingsSource {
 public:
  explicit SettingsSource(std::filesystem::path file) : file_(std::move(file)) {}

  // Reads the file again. Returns whether the settings in force changed. A broken file
  // keeps the last good settings and sets problem().
  bool reload();

  const CompanionSettings& settings() const { return settings_; }
  // Why the file on disk is not in force, or absent when it is (or there is none).
  const std::optional<std::string>& problem() const { return problem_; }

 private:
  std::filesystem::path file_;
  CompanionSettings settings_ = CompanionSettings::defaults();
  std::optional<std::string> problem_;
};

}  // namespace quillbeam::companion
