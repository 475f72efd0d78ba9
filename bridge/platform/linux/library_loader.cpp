#include "platform/linux/library_loader.hpp"

#include <exception>
#include <utility>

namespace quillbeam::bridge::platform {

LibraryLoader::LibraryLoader(BusLibraryLoader load, std::function<void()> loaded)
    : thread_([this, load = std::move(load), loaded = std::move(loaded)] {
        Outcome outcome;
        try {
          outcome.library = load();
        } catch (const std::exception& e) {
          outcome.error = e.what();
        }
        {
          std::lock_guard guard(lock_);
          outcome_ = std::move(outcome);
        }
        ready_.notify_all();
        loaded();
      }) {}

LibraryLoader::~LibraryLoader() {
  thread_.join();
}

std::optional<LibraryLoader::Outcome> LibraryLoader::take(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  if (!ready_.wait_for(guard, timeout, [this] { return taken_ || outcome_.has_value(); }) ||
      taken_) {
    return std::nullopt;
  }
  taken_ = true;
  return std::exchange(outcome_, std::nullopt);
}

}  // namespace quillbeam::bridge::platform
