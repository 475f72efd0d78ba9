#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillbeam::platform {

// Where an app can be opened from: a bundle directory on disk, or a name the system
// knows how to start (on Linux a D-Bus activatable name).
struct AppLocation {
  struct Bundle {
    std::filesystem::path path;
    friend bool operator==(const Bundle&, const Bundle&) = default;
  };
  struct Registered {
    std::string bundleID;
    friend bool operator==(const Registered&, const Registered&) = default;
  };
  std::variant<Bundle, Registered> where;
  friend bool operator==(const AppLocation&, const AppLocation&) = default;
};

// The running and installed apps of the desktop.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // Whether an app with exactly this bundle identifier runs now. `answer` runs once, on
  // the main loop, maybe before this returns; false when the system cannot tell.
  virtual void isRunning(std::string_view bundleID, std::function<void(bool running)> answer) = 0;

  // The installed app with this bundle identifier, if the system knows one. `answer` runs
  // once, on the main loop, maybe before this returns.
  virtual void locate(std::string_view bundleID,
                      std::function<void(std::optional<AppLocation>)> answer) = 0;

  // Starts the app in the background (it never comes to the front) and returns at once.
  // `completion` runs once, later, on a thread of the platform's choosing, with the error
  // text when the launch failed or nothing when it succeeded.
  virtual void openInBackground(
      const AppLocation& app, std::function<void(std::optional<std::string> error)> completion) = 0;
};

}  // namespace quillbeam::platform
