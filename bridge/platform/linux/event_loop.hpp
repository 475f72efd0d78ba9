#pragma once

#include <systemd/sd-event.h>

#include <deque>
#include <functional>
#include <mutex>

#include "platform/linux/handles.hpp"
#include "platform/main_loop.hpp"

namespace quillbeam::bridge::platform {

// The main loop on sd-event. Posted blocks wait in a locked FIFO; an eventfd wakes the
// loop, which runs them one at a time in the order they were posted. Other event sources
// (the session bus) share the same loop. A block must not throw: an exception cannot
// unwind through the C loop, so one that escapes ends the process.
class EventLoop final : public MainLoop {
 public:
  // Throws std::system_error when the loop or its eventfd cannot be created.
  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void post(std::function<void()> block) override;
  void run() override;

  // Main thread: makes run() return once the blocks taken for the current turn have run.
  void quit();

  sd_event* event() const { return event_.get(); }

 private:
  static int onWake(sd_event_source* source, int fd, uint32_t revents, void* self) noexcept;
  void runPosted();

  EventPtr event_;
  UniqueFd wakeFd_;
  EventSourcePtr wakeSource_;
  std::mutex lock_;
  std::deque<std::function<void()>> queue_;  // guarded by lock_
};

}  // namespace quillbeam::bridge::platform
