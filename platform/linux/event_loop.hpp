#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/unique_fd.hpp"
#include "platform/main_loop.hpp"

namespace quillbeam::platform {

// The main loop on epoll. Posted blocks wait in a locked FIFO; an eventfd wakes the loop,
// which runs them one at a time in the order they were posted. File descriptors watched
// on the loop (the session bus) share it. A block must not throw: the blocks taken with
// it in the same turn would be lost.
class EventLoop final : public MainLoop {
  // Only the loop makes watches and hooks.
  struct Key {
    explicit Key() = default;
  };

 public:
  // Interest in a descriptor; the watch ends when this is destroyed, which must happen
  // before the loop is.
  class Watch {
   public:
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch();
    // EPOLLIN / EPOLLOUT; 0 still hears of errors and hang-ups.
    void setEvents(uint32_t events);

    Watch(Key, EventLoop& loop, int fd, uint64_t id, uint32_t events)
        : loop_(loop), fd_(fd), id_(id), events_(events) {}

   private:
    EventLoop& loop_;
    int fd_;
    uint64_t id_;
    uint32_t events_;
  };

  // A step run before every wait; removed when this is destroyed.
  class Hook {
   public:
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;
    ~Hook();

    Hook(Key, EventLoop& loop, uint64_t id) : loop_(loop), id_(id) {}

   private:
    EventLoop& loop_;
    uint64_t id_;
  };

  // Throws std::system_error when epoll or the eventfd cannot be created.
  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void post(std::function<void()> block) override;
  void run() override;

  // Main thread: makes run() return once the blocks taken for the current turn have run.
  void quit();

  // One turn: runs the hooks, waits at most `timeout` (forever when negative) for a
  // watched descriptor or a post, and handles what is ready.
  void turn(std::chrono::milliseconds timeout);

  // Turns taken so far; lets a test see that an idle loop sleeps.
  uint64_t turns() const { return turns_; }

  // Posted blocks run so far. Main thread.
  uint64_t blocksRun() const { return blocksRun_; }

  // Main thread. `ready` runs on the loop with the events that occurred while `fd` stays
  // open and the watch lives; it may destroy any watch, its own included. Throws
  // std::system_error when the descriptor cannot be watched.
  std::unique_ptr<Watch> watch(int fd, uint32_t events, std::function<void(uint32_t)> ready);

  // Main thread. `prepare` runs before every wait, in the order hooks were added.
  std::unique_ptr<Hook> beforeWait(std::function<void()> prepare);

 private:
  void runPosted();

  UniqueFd epoll_;
  // Keyed by the id the kernel hands back with each event, so an event for a watch that
  // ended earlier in the same turn finds nothing. Shared so that a callback stays alive
  // while it runs even if its watch ends meanwhile.
  std::map<uint64_t, std::shared_ptr<std::function<void(uint32_t)>>> watches_;
  std::map<uint64_t, std::shared_ptr<std::function<void()>>> hooks_;
  uint64_t nextId_ = 1;
  uint64_t turns_ = 0;
  uint64_t blocksRun_ = 0;
  bool quit_ = false;
  UniqueFd wakeFd_;
  std::unique_ptr<Watch> wakeWatch_;  // declared after the maps it erases itself from
  std::mutex lock_;
  std::deque<std::function<void()>> queue_;  // guarded by lock_
};

}  // namespace quillbeam::platform
