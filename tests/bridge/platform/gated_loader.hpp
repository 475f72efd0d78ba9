#pragma once

#include <future>
#include <memory>
#include <mutex>

#include "platform/linux/library_loader.hpp"

namespace quillbeam::bridge::platform::testing {

// Stands in for the platform's library loader: loads the real library, but only once the
// test opens the gate, so a test can act while the library is "still loading". The gate
// must be opened before the platform using it is destroyed (which waits for the loader).
class GatedLoader {
 public:
  BusLibraryLoader loader() const {
    return [gate = gate_] {
      gate.wait();
      return BusLibrary::load();
    };
  }
  void open() {
    std::call_once(opened_, [this] { promise_.set_value(); });
  }

 private:
  std::promise<void> promise_;
  std::shared_future<void> gate_ = promise_.get_future().share();
  std::once_flag opened_;
};

}  // namespace quillbeam::bridge::platform::testing
