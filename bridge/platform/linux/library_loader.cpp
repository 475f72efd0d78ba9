#include "platform/linux/library_loader.hpp"

#include <exception>
#include <utility>

namespace quillbeam::bridge::platform {

LibraryLoader::LibraryLoader(BusLibraryLoader load, std::function<void()> loaded,
                             std::chrono::milliseconds startAfter)
    : thread_([this, load = std::move(load), loaded = std::move(loaded), startAfter] {
        work(load, loaded, startAfter);
      }) {}

LibraryLoader::~LibraryLoader() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LibraryLoader::begin() {
  {
    std::lock_guard guard(lock_);
    begun_ = true;
  }
  changed_.notify_all();
}

std::optional<LibraryLoader::Outcome> LibraryLoader::take(std::chrono::milliseconds timeout) {
  begin();
  std::unique_lock guard(lock_);
  if (!changed_.wait_for(guard, timeout, [this] { return taken_ || outcome_.has_value(); }) ||
      taken_) {
    return std::nullopt;
  }
  taken_ = true;
  return std::exchange(outcome_, std::nullopt);
}

void LibraryLoader::work(const BusLibraryLoader& load, const std::function<void()>& loaded,
                         std::chrono::milliseconds startAfter) {
  {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, startAfter, [this] { return begun_ || stopping_; });
    if (stopping_ && !begun_) return;
  }
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
  changed_.notify_all();
  loaded();
}

}  // namespace quillbeam::bridge::platform
