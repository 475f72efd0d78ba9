#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.hpp"

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

// What a record file holds, as far as it can be read.
struct RecordContents {
  std::vector<PausedApp> apps;
  // What could not be read, why, and where it was kept; absent when everything was read.
  std::optional<std::string> damage;
};

// The record of everything paused, so that whatever happens to the companion (a crash,
// kill -9) its next start, or `quillbeam resume-all`, can resume it.
struct PauseRecord {
  // Every entry of `file` that can be read; none when it does not exist. What cannot be
  // read (a damaged entry, a file that is no JSON) is copied beside it once, never
  // deleted, and named in `damage`, so that the next write of the record loses nothing.
  static RecordContents read(const std::filesystem::path& file);
  // Replaces `file` atomically (private to the user); an empty list removes it. Throws
  // std::runtime_error naming the file: nothing may be paused that is not recorded.
  static void write(const std::filesystem::path& file, const std::vector<PausedApp>& apps);
  // Removes the temporary files a write interrupted by a crash left beside `file`.
  static void removeLeftovers(const std::filesystem::path& file);
};

// The lock that lets one process at a time change the record: the companion holds it for
// as long as it runs (one companion per user, whichever bus it is on), `quillbeam` while
// it resumes what the record holds. Released when destroyed or when the process ends.
class RecordLock {
 public:
  // Takes the lock beside `record` without waiting; absent when another process holds it,
  // and `holder` then says which.
  static std::optional<RecordLock> take(const std::filesystem::path& record, std::string& holder);

 private:
  explicit RecordLock(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  platform::UniqueFd fd_;
};

}  // namespace quillbeam::companion
