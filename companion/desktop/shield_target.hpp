#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "quillbeam/json/strict_json.hpp"

// What a pause acts on: an app unit's cgroup, or, for an app that runs outside any unit,
// its processes. The companion records targets before it pauses them, so that whatever it
// paused can be resumed after a crash; the JSON form is that record's.
namespace quillbeam::companion {

// One process, told apart from a later one that reuses its pid by its start time (clock
// ticks after boot, field 22 of /proc/<pid>/stat).
struct ProcessRef {
  pid_t pid = 0;
  uint64_t startTime = 0;

  friend bool operator==(const ProcessRef&, const ProcessRef&) = default;
  friend auto operator<=>(const ProcessRef&, const ProcessRef&) = default;
};

class ShieldTarget {
 public:
  // An app unit's cgroup directory (absolute).
  static ShieldTarget cgroup(std::filesystem::path directory);
  // Processes of an app found by its executable.
  static ShieldTarget processes(std::vector<ProcessRef> processes);

  bool isCgroup() const { return std::holds_alternative<std::filesystem::path>(what_); }
  // Only for a cgroup target.
  const std::filesystem::path& cgroupDirectory() const {
    return std::get<std::filesystem::path>(what_);
  }
  // Only for a process target.
  const std::vector<ProcessRef>& processList() const {
    return std::get<std::vector<ProcessRef>>(what_);
  }

  // {"cgroup": "/sys/fs/cgroup/…/app-….scope"} or
  // {"processes": [{"pid": 123, "startTime": 456}, …]}.
  json::Ordered toJson() const;
  // Throws DecodingError on any other shape, a relative path, a pid that is not positive
  // or an empty process list.
  static ShieldTarget fromJson(const json::Value& value);

  friend bool operator==(const ShieldTarget&, const ShieldTarget&) = default;

 private:
  explicit ShieldTarget(std::variant<std::filesystem::path, std::vector<ProcessRef>> what)
      : what_(std::move(what)) {}

  std::variant<std::filesystem::path, std::vector<ProcessRef>> what_;
};

}  // namespace quillbeam::companion
