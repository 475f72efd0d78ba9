#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillbeam::testing {

// One signal seen on the bus.
struct ReceivedSignal {
  std::string sender;
  std::string path;
  std::string interface;
  std::string member;
  std::string signature;            // of the whole body, "" when empty
  std::optional<std::string> json;  // the "json" entry of an a{sv} body, when it holds text
};

// Where a notification called "a.b.c.Member" travels: interface "a.b.c", member "Member",
// object path "/a/b/c".
struct SignalRoute {
  std::string path;
  std::string interface;
  std::string member;
  static SignalRoute of(std::string_view notificationName);
};

// A peer on a bus, for tests: its own sd-bus connection served by its own thread. It
// records the signals it subscribed to, emits signals and owns names. Every operation is
// safe from any thread.
class BusListener {
 public:
  // Connects to `address` (and completes the handshake) or throws std::runtime_error.
  explicit BusListener(const std::string& address);
  ~BusListener();
  BusListener(const BusListener&) = delete;
  BusListener& operator=(const BusListener&) = delete;

  // Records every signal with this interface and member, from any sender and path. The
  // match is installed on the bus when this returns.
  void subscribe(std::string_view interface, std::string_view member);
  void subscribe(std::string_view notificationName);

  std::vector<ReceivedSignal> received() const;

  // Waits until at least `count` signals were recorded or `timeout` passed; true when
  // they were.
  bool waitForCount(size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Emits a broadcast signal whose body is one a{sv} of text values (an empty body when
  // `entries` is absent). Returns once the signal was written to the bus.
  void emit(std::string_view notificationName,
            const std::optional<std::map<std::string, std::string>>& entries);
  // Emits a broadcast signal whose body `writeBody` appends (any shape, for odd cases).
  void emitRaw(const SignalRoute& route, const std::function<int(sd_bus_message*)>& writeBody);

  // Takes or gives up a well-known name; requestName throws when the name is not granted.
  void requestName(std::string_view name);
  void releaseName(std::string_view name);

  // This connection's unique name (":1.42").
  std::string uniqueName() const;

 private:
  void serve();
  static int onSignal(sd_bus_message* message, void* self, sd_bus_error* error);
  void wake() const;

  struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  };
  struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
  };
  struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
  };

  mutable std::mutex busLock_;  // guards bus_, slots_, stopping_ (sd-bus is not thread-safe)
  std::unique_ptr<sd_bus, BusClose> bus_;
  std::vector<std::unique_ptr<sd_bus_slot, SlotUnref>> slots_;

  mutable std::mutex dataLock_;
  mutable std::condition_variable arrived_;
  std::vector<ReceivedSignal> received_;

  Fd wakeFd_;
  bool stopping_ = false;  // guarded by busLock_
  std::thread thread_;
};

}  // namespace quillbeam::testing
