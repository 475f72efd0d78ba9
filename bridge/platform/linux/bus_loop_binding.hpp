#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/linux/bus_library.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::bridge::platform {

// Drives an sd-bus connection from the event loop: its socket is watched for what the
// connection wants (to read, to write), a timer fires at its next deadline (the
// handshake, a method call's timeout, or at once while received messages wait), and
// each wake-up lets it process. What it wants is asked again before every wait, since
// any call on the connection (a send from a block) may change it. Main thread only.
class BusLoopBinding {
 public:
  // `failed` hears the error when processing fails; sd-bus reports a lost connection to
  // its filters itself. Throws std::system_error when the socket cannot be watched or
  // the timer made.
  BusLoopBinding(const BusLibrary& library, sd_bus* bus, EventLoop& loop,
                 std::function<void(int negativeErrno)> failed);
  BusLoopBinding(const BusLoopBinding&) = delete;
  BusLoopBinding& operator=(const BusLoopBinding&) = delete;

 private:
  void prepare();
  void arm(uint64_t deadlineUsec);
  void process();

  const BusLibrary& library_;
  sd_bus* bus_;
  std::function<void(int)> failed_;
  // Our own duplicate of the connection's socket: sd-bus closes its descriptor when the
  // connection ends, and the number must not be reused under our watch.
  UniqueFd socket_;
  UniqueFd timer_;
  std::optional<uint64_t> armedAt_;  // the deadline the timer is set to, if known
  std::unique_ptr<EventLoop::Watch> socketWatch_;
  std::unique_ptr<EventLoop::Watch> timerWatch_;
  std::unique_ptr<EventLoop::Hook> prepareHook_;
};

}  // namespace quillbeam::bridge::platform
