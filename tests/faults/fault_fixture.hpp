#pragma once

#include <atomic>
#include <charconv>
#include <thread>

#include "bridge/bridge_fixture.hpp"
#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::testing {

// A reader in another process's shoes: re-reads the link file on its own thread until
// stopped, decoding every read. A read that finds no file or no decodable record is a
// problem, as is any record that `check` refuses (it returns the reason). The file must
// exist before the watcher starts.
class LinkWatcher {
 public:
  using Check = std::function<std::optional<std::string>(const BrowserLink&)>;

  LinkWatcher(
      std::filesystem::path file, Check check = [](const BrowserLink&) { return std::nullopt; })
      : thread_([this, file = std::move(file), check = std::move(check)] {
          for (; !stopping_; ++reads) {
            // One descriptor per read: a rename over the path never changes what an open
            // descriptor reads, so a torn read can only come from a torn write.
            std::ifstream in(file, std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            std::optional<std::string> problem;
            try {
              problem =
                  in.is_open() ? check(BrowserLink::fromJson(json::parse(bytes.str()))) : "no file";
            } catch (const std::exception& e) {
              problem = std::string("undecodable (") + e.what() + ")";
            }
            if (problem && problems.size() < 10) problems.push_back(*problem + ": " + bytes.str());
            // Leaves the bridges most of this busy machine's cores.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  ~LinkWatcher() { stop(); }

  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Read once stopped.
  size_t reads = 0;
  std::vector<std::string> problems;

 private:
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The number in a session id such as "r12-m3" after its first letter, or -1.
inline int writerOf(const std::string& id) {
  int writer = -1;
  if (id.size() > 1) std::from_chars(id.data() + 1, id.data() + id.size(), writer);
  return writer;
}

// Temporary files of atomic writes left in `directory`.
inline std::vector<std::string> temporaryLinkFiles(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(".browser-link.json.")) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace quillbeam::testing
