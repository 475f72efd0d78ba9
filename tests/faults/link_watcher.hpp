#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillbeam/session/browser_link.hpp"

namespace quillbeam::testing {

// A reader in another process's shoes: re-reads browser-link.json on its own thread for
// as long as it lives, decoding every read. A read that finds no file, an empty file or a
// record that does not decode is a problem, as is any record that `check` refuses (it
// returns the reason). The file must exist before the watcher starts.
class LinkWatcher {
 public:
  using Check = std::function<std::optional<std::string>(const BrowserLink&)>;

  explicit LinkWatcher(std::filesystem::path file, Check check = {});
  ~LinkWatcher();
  LinkWatcher(const LinkWatcher&) = delete;
  LinkWatcher& operator=(const LinkWatcher&) = delete;

  // Stops reading; returns once the thread has ended.
  void stop();

  size_t reads() const { return reads_.load(); }
  // The first few problems, each with the bytes that were read.
  std::vector<std::string> problems() const;

 private:
  void run();
  void note(std::string problem);

  std::filesystem::path file_;
  Check check_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> reads_{0};
  mutable std::mutex lock_;
  std::vector<std::string> problems_;  // guarded by lock_
  std::thread thread_;
};

// Entries of `directory` whose names start with ".browser-link.json.": the temporary
// files of atomic writes.
std::vector<std::string> temporaryLinkFiles(const std::filesystem::path& directory);

}  // namespace quillbeam::testing
