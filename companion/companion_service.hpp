#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app_listing.hpp"
#include "app_names.hpp"
#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/session/date.hpp"
#include "resume_outcome.hpp"

namespace quillbeam::platform {
class LinuxPlatform;
}

namespace quillbeam::companion {

struct CgroupTree;
class CompanionState;

// Why the companion refused or could not do what was asked; what() is a sentence for the
// user or the log, naming the file where a file is at fault.
class CompanionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the companion reads and keeps its files.
struct CompanionFiles {
  std::filesystem::path settings;
  std::filesystem::path record;
  std::filesystem::path overrides;
  std::filesystem::path link;
  // The files of this user's session, from the environment.
  static CompanionFiles fromEnvironment();
};

// What a block or unblock did: the app as resolved, and how many of its identifiers were
// added to or taken off the blocked list (0: it already was as asked).
struct BlockChange {
  NamedApp app;
  size_t changed = 0;
};

// A change to the settings; absent fields stay as they are.
struct SettingsChange {
  std::optional<std::string> studyBrowser;  // a browser's name or identifier, as typed
  std::optional<bool> blockOtherBrowsers;
  std::optional<bool> guardExtension;
  bool empty() const { return !studyBrowser && !blockOtherBrowsers && !guardExtension; }
};

// The companion: which apps run and what the policy says of each (decision.cpp), what is
// paused (shield.cpp, which records before it pauses: pause_record.cpp) and what the user
// asks of it. The daemon (companion_daemon.cpp) runs one that enforces its decisions;
// `quillbeam` asks that one over the bus and, only where none runs, opens one of its own
// to inspect: it decides the same, resumes and edits the same files, and pauses nothing.
class CompanionService {
 public:
  enum class Mode {
    inspect,  // decide and report; resume what the record holds; never pause
    enforce,  // pause what each decision shields, for exactly as long
  };
  using Log = std::function<void(std::string_view)>;

  // Reads the settings, the overrides, the link and the record, and finds the apps'
  // cgroup tree. `platform` absent: no notifications and no word to the extension.
  CompanionService(CompanionFiles files, Mode mode, platform::LinuxPlatform* platform, Log log);
  ~CompanionService();
  CompanionService(const CompanionService&) = delete;
  CompanionService& operator=(const CompanionService&) = delete;

  // The running apps, each with whether it is paused and the verdict on it now.
  std::vector<AppListing> apps() const;
  // Allows an app (a name or identifier as typed) for `minutes`; returns the end.
  Date allow(std::string_view app, double minutes);
  // Adds the app to the blocked list / takes it off. Throws CompanionError when the
  // settings file cannot be read or written (a broken file is never overwritten).
  BlockChange block(std::string_view app);
  BlockChange unblock(std::string_view app);
  // The settings as the file holds them, after `change`. Throws CompanionError as block().
  CompanionSettings settings(const SettingsChange& change = {});
  // Resumes everything paused and keeps the session in force from pausing them again.
  ResumeOutcome resumeAll();

  // What the daemon drives. Reads the files and the apps again and decides; the settings
  // file's problem, if any.
  std::optional<std::string> reload();
  // Reads the settings file again; whether the settings in force changed.
  bool reloadSettings();
  void readLink();
  void rescan();
  // Judges the apps now and, enforcing, carries the verdicts out; then runs `decided`.
  void decide();
  // Runs after every decision, whoever asked for it: the daemon waits for what comes next.
  void onDecided(std::function<void()> decided);
  // Resumes everything before the companion ends, and pauses nothing after; how many were
  // resumed.
  size_t resumeBeforeExit();

  // The next instant a verdict may change on its own, and whether a session is in force.
  std::optional<Date> nextChange() const;
  bool sessionInForce() const;
  // The bridge the link names, while it says one runs.
  std::optional<int> bridgePID() const;
  // Where the apps' units live; absent when apps can only be found by their executable.
  const CgroupTree* tree() const;
  const std::filesystem::path& settingsFile() const;
  size_t runningCount() const;

 private:
  // Applies `edit` to the settings file's blocked list for the app typed; saved and
  // decided on when it changed anything.
  BlockChange editBlocked(std::string_view typed,
                          const std::function<size_t(CompanionSettings&, const NamedApp&)>& edit);

  std::unique_ptr<CompanionState> state_;
};

}  // namespace quillbeam::companion
