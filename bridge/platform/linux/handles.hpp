#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace quillbeam::bridge::platform {

// Owning handles for the sd-event / sd-bus objects and file descriptors of the backend.

struct EventUnref {
  void operator()(sd_event* event) const { sd_event_unref(event); }
};
struct EventSourceUnref {
  void operator()(sd_event_source* source) const { sd_event_source_disable_unref(source); }
};
// Sends what is still queued, then closes the connection.
struct BusFlushCloseUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct BusSlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct BusMessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

using EventPtr = std::unique_ptr<sd_event, EventUnref>;
using EventSourcePtr = std::unique_ptr<sd_event_source, EventSourceUnref>;
using BusPtr = std::unique_ptr<sd_bus, BusFlushCloseUnref>;
using BusSlotPtr = std::unique_ptr<sd_bus_slot, BusSlotUnref>;
using BusMessagePtr = std::unique_ptr<sd_bus_message, BusMessageUnref>;

// An sd_bus_error that is freed when it goes out of scope.
struct BusError {
  sd_bus_error error{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL is a C compound literal
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
  sd_bus_error* get() { return &error; }
};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace quillbeam::bridge::platform
