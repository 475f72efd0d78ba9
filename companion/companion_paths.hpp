#pragma once

#include <filesystem>

// Where the companion keeps what it reads and what it must not lose. Computed afresh on
// every call from the environment; nothing is created here.
namespace quillbeam::companion::paths {

// $XDG_CONFIG_HOME/quillbeam, else ~/.config/quillbeam.
std::filesystem::path configDirectory();
// configDirectory()/settings.json: the user's settings in their JSON form.
std::filesystem::path settingsFile();
// $XDG_RUNTIME_DIR/quillbeam, else /run/user/<uid>/quillbeam: state that must not outlive
// the login session (what is paused, allowances), private to the user.
std::filesystem::path runtimeDirectory();
// runtimeDirectory()/paused.json: every app the companion paused, written before it pauses.
std::filesystem::path pauseRecord();
// runtimeDirectory()/overrides.json: temporary allowances and a dismissed session.
std::filesystem::path overridesFile();

}  // namespace quillbeam::companion::paths
