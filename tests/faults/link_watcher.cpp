#include "faults/link_watcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::testing {

namespace {

// The whole file through one descriptor: a rename over the path never changes what an
// open descriptor reads, so a torn read can only come from a torn write.
std::optional<std::string> readWhole(const std::filesystem::path& file, int& error) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

LinkWatcher::LinkWatcher(std::filesystem::path file, Check check)
    : file_(std::move(file)), check_(std::move(check)), thread_([this] { run(); }) {}

LinkWatcher::~LinkWatcher() {
  stop();
}

void LinkWatcher::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> LinkWatcher::problems() const {
  std::lock_guard guard(lock_);
  return problems_;
}

void LinkWatcher::note(std::string problem) {
  std::lock_guard guard(lock_);
  if (problems_.size() < 10) problems_.push_back(std::move(problem));
}

void LinkWatcher::run() {
  while (!stopping_) {
    int error = 0;
    auto bytes = readWhole(file_, error);
    ++reads_;
    if (!bytes) {
      note(std::string("no file: ") + std::strerror(error));
    } else if (bytes->empty()) {
      note("an empty file");
    } else {
      try {
        const BrowserLink link = BrowserLink::fromJson(json::parse(*bytes));
        if (check_) {
          if (auto why = check_(link)) note(*why + ": " + *bytes);
        }
      } catch (const DecodingError& e) {
        note(std::string("undecodable (") + e.what() + "): " + *bytes);
      }
    }
    // Leaves the bridges most of this busy machine's two cores.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::vector<std::string> temporaryLinkFiles(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(".browser-link.json.")) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace quillbeam::testing
