#pragma once

#include <memory>

#include "platform/linux/bus_library.hpp"

namespace quillbeam::bridge::platform {

// Owning handles for the sd-bus objects of the backend. Each deleter calls through the
// library that made the object, which must outlive it.

// Sends what is still queued, then closes the connection.
struct BusFlushCloseUnref {
  const BusLibrary* library = nullptr;
  void operator()(sd_bus* bus) const { library->sd_bus_flush_close_unref(bus); }
};
struct BusSlotUnref {
  const BusLibrary* library = nullptr;
  void operator()(sd_bus_slot* slot) const { library->sd_bus_slot_unref(slot); }
};
struct BusMessageUnref {
  const BusLibrary* library = nullptr;
  void operator()(sd_bus_message* message) const { library->sd_bus_message_unref(message); }
};

using BusPtr = std::unique_ptr<sd_bus, BusFlushCloseUnref>;
using BusSlotPtr = std::unique_ptr<sd_bus_slot, BusSlotUnref>;
using BusMessagePtr = std::unique_ptr<sd_bus_message, BusMessageUnref>;

inline BusMessagePtr ownMessage(const BusLibrary& library, sd_bus_message* message) {
  return BusMessagePtr(message, BusMessageUnref{&library});
}
inline BusSlotPtr ownSlot(const BusLibrary& library, sd_bus_slot* slot) {
  return BusSlotPtr(slot, BusSlotUnref{&library});
}

// An sd_bus_error that is freed when it goes out of scope.
class BusError {
 public:
  explicit BusError(const BusLibrary& library) : library_(library) {}
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { library_.sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }

 private:
  const BusLibrary& library_;
  sd_bus_error error_{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL is a C compound literal
};

}  // namespace quillbeam::bridge::platform
