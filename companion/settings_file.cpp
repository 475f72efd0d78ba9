#include "settings_file.hpp"

#include "quillbeam/json/decoding_error.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "user_file.hpp"

namespace quillbeam::companion {

CompanionSettings readSettings(const std::filesystem::path& file) {
  try {
    const auto text = readUserFile(file);
    if (!text) return CompanionSettings::defaults();
    return CompanionSettings::fromJson(json::parse(*text));
  } catch (const std::exception& error) {
    throw SettingsError(file.string() + ": " + error.what());
  }
}

void writeSettings(const std::filesystem::path& file, const CompanionSettings& settings) {
  try {
    SharedFiles::writeFileAtomically(file, settings.toJson().dump(2) + "\n", 0600);
  } catch (const std::exception& error) {
    throw SettingsError(file.string() + ": " + error.what());
  }
}

bool SettingsSource::reload() {
  try {
    CompanionSettings fresh = readSettings(file_);
    problem_.reset();
    if (fresh == settings_) return false;
    settings_ = std::move(fresh);
    return true;
  } catch (const SettingsError& error) {
    problem_ = error.what();
    return false;
  }
}

}  // namespace quillbeam::companion
