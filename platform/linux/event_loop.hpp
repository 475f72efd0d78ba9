#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/unique_fd.hpp"
#include "platform/main_loop.hpp"

namespace quillbeam::platform {

// The main loop on epoll. Posted blocks wait in a locked FIFO; an eventfd wakes the loop,
// which runs them one at a time in the order they were posted. File descriptors watched
// on the loop (the session bus), its timers and the signals it hears share it. A block
// must not throw: the blocks taken with it in the same turn would be lost.
class EventLoop final : public MainLoop {
  // Only the loop makes watches, hooks, timers and subscriptions.
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

  // What a timer counts on. Monotonic time is steady_clock's and stands still while the
  // machine sleeps; realtime is the wall clock (Unix time), which may be set.
  enum class Clock { monotonic, realtime };

  // Time kept on the loop: silent until armed, and disarmed when destroyed, which must
  // happen before the loop is. Setting it again replaces what was set before.
  class Timer {
   public:
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer();

    // Fires once, `delay` from now (at the next turn when not positive). On the realtime
    // clock the delay is a duration: setting the clock does not move it.
    void once(std::chrono::nanoseconds delay);
    // Fires once at the instant `sinceEpoch` on the timer's clock, at once when that has
    // passed. A realtime instant is Unix time and follows the wall clock when it is set.
    void onceAt(std::chrono::nanoseconds sinceEpoch);
    // Fires every `period`, the first time one period from now. Throws
    // std::invalid_argument when `period` is not positive.
    void every(std::chrono::nanoseconds period);
    void cancel();

    // Set and not yet fired (a repeating timer stays armed until cancelled).
    bool armed() const { return armed_; }
    bool repeating() const { return repeating_; }

    Timer(Key, EventLoop& loop, Clock clock, std::function<void()> fired);

   private:
    void set(int flags, std::chrono::nanoseconds first, std::chrono::nanoseconds period);
    void expire();

    UniqueFd fd_;
    std::unique_ptr<Watch> watch_;
    // Shared so that it stays alive while it runs even if it destroys its timer.
    std::shared_ptr<std::function<void()>> fired_;
    bool armed_ = false;
    bool repeating_ = false;
  };

  // Signals taken as loop events; delivery stops when this is destroyed, which must
  // happen before the loop is.
  class SignalSubscription {
   public:
    SignalSubscription(const SignalSubscription&) = delete;
    SignalSubscription& operator=(const SignalSubscription&) = delete;
    ~SignalSubscription();

    SignalSubscription(Key, EventLoop& loop, UniqueFd fd, std::function<void(int)> heard);

   private:
    void take();

    UniqueFd fd_;
    std::unique_ptr<Watch> watch_;
    std::shared_ptr<std::function<void(int)>> heard_;
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

  // Main thread. A timer on `clock`, unarmed; `fired` runs on the loop once for each
  // expiry the loop hears of (a repeating timer that fell behind fires once for all it
  // missed) and may set, cancel or destroy its own timer. Throws std::system_error when
  // the kernel gives no timer.
  std::unique_ptr<Timer> timer(Clock clock, std::function<void()> fired);

  // Main thread. Blocks `signals` so that none reaches a handler or its default action,
  // and hands each that arrives to `heard` on the loop, with its number. The mask is the
  // calling thread's, which threads started later inherit: subscribe before starting any
  // that would otherwise take the signals. A signal is heard by one subscription only.
  // The signals stay blocked after the subscription ends: one that arrived meanwhile
  // stays pending rather than ending the process at a moment nobody chose, and is heard
  // by the next subscription to it. Children inherit the mask across exec, so a spawn
  // clears it in the child (spawnDetached does). Throws std::system_error for a number
  // that is no signal or when the kernel refuses.
  std::unique_ptr<SignalSubscription> onSignals(std::vector<int> signals,
                                                std::function<void(int signo)> heard);

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
