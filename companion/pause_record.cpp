#include "pause_record.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "quillbeam/json/decoding_error.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "user_file.hpp"

namespace quillbeam::companion {

PausedApp PausedApp::fromJson(const json::Value& value) {
  const json::ObjectReader reader(value);
  return PausedApp{reader.required<std::string>("bundleID"), reader.required<std::string>("name"),
                   reader.required<ShieldTarget>("target")};
}

json::Ordered PausedApp::toJson() const {
  json::Ordered out;
  out["bundleID"] = bundleID;
  out["name"] = name;
  out["target"] = target.toJson();
  return out;
}

namespace {

namespace fs = std::filesystem;

// Keeps a damaged record's text beside it, once per content, and says where.
std::string keepDamaged(const fs::path& file, const std::string& text) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".damaged-%016zx", std::hash<std::string>{}(text));
  const fs::path kept = file.string() + suffix;
  try {
    std::error_code error;
    if (!fs::exists(kept, error)) SharedFiles::writeFileAtomically(kept, text, 0600);
    return "kept in " + kept.string();
  } catch (const std::exception& error) {
    return std::string("could not keep it: ") + error.what();
  }
}

}  // namespace

RecordContents PauseRecord::read(const fs::path& file) {
  std::optional<std::string> text;
  try {
    text = readUserFile(file, 16u << 20);
  } catch (const std::exception& error) {
    return {{}, file.string() + ": " + error.what()};
  }
  if (!text) return {};
  RecordContents contents;
  std::string firstError;
  size_t unreadable = 0;
  try {
    const json::Value value = json::parse(*text);
    if (!value.is_array()) throw DecodingError("paused: must be an array");
    for (const auto& entry : value) {
      try {
        contents.apps.push_back(PausedApp::fromJson(entry));
      } catch (const std::exception& error) {
        if (unreadable++ == 0) firstError = error.what();
      }
    }
  } catch (const std::exception& error) {
    contents.damage =
        file.string() + " is not a record (" + error.what() + "); " + keepDamaged(file, *text);
    return contents;
  }
  if (unreadable > 0) {
    contents.damage = file.string() + ": " + std::to_string(unreadable) + " entr" +
                      (unreadable == 1 ? "y" : "ies") + " could not be read (" + firstError +
                      "); " + keepDamaged(file, *text);
  }
  return contents;
}

void PauseRecord::removeLeftovers(const fs::path& file) {
  // Named as the atomic write names its temporaries: ".<name>." and six characters.
  const std::string prefix = "." + file.filename().string() + ".";
  std::error_code error;
  for (fs::directory_iterator it(file.parent_path(), error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

std::optional<RecordLock> RecordLock::take(const fs::path& record, std::string& holder) {
  const fs::path file = record.string() + ".lock";
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  platform::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    holder = file.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const auto owner = readUserFile(file, 64).value_or("");
    holder = "pid " + (owner.empty() ? std::string("unknown") : owner.substr(0, owner.find('\n')));
    return std::nullopt;
  }
  // Who holds it, for the one turned away; the lock itself is the flock.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
  }
  return RecordLock(std::move(fd));
}

void PauseRecord::write(const std::filesystem::path& file, const std::vector<PausedApp>& apps) {
  try {
    if (apps.empty()) {
      std::filesystem::remove(file);
      return;
    }
    json::Ordered out = json::Ordered::array();
    for (const auto& app : apps) out.push_back(app.toJson());
    SharedFiles::writeFileAtomically(file, json::compact(out), 0600);
  } catch (const std::exception& error) {
    throw std::runtime_error(file.string() + ": " + error.what());
  }
}

}  // namespace quillbeam::companion
