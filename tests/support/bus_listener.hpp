#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::testing {

// One signal seen on the bus.
struct ReceivedSignal {
  std::string sender, path, interface, member;
  std::string signature;            // of the whole body, "" when empty
  std::optional<std::string> json;  // the "json" entry of an a{sv} body, when it holds text
};

// Where a notification called "a.b.c.Member" travels: interface "a.b.c", member "Member",
// object path "/a/b/c".
struct SignalRoute {
  std::string path, interface, member;
  static SignalRoute of(std::string_view notificationName);
};

// A peer on a bus, for tests, on its own sd-bus connection: it records the signals it
// subscribed to (taking them in whenever asked about them), emits signals and owns
// names. Every operation is safe from any thread and throws std::runtime_error when the
// bus refuses it.
class BusListener {
 public:
  // Connects to `address` and completes the handshake.
  explicit BusListener(const std::string& address);

  // Records every signal with this interface and member, from any sender and path; the
  // match is in force on return.
  void subscribe(std::string_view interface, std::string_view member);
  void subscribe(std::string_view notificationName);

  std::vector<ReceivedSignal> received() const;
  // True once at least `count` signals were recorded, false when `timeout` passed first.
  bool waitForCount(size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // A broadcast signal whose body is one a{sv} of text values (empty when `entries` is
  // absent), or whose body `writeBody` appends; returns once it was written.
  void emit(std::string_view notificationName,
            const std::optional<std::map<std::string, std::string>>& entries);
  void emitRaw(const SignalRoute& route, const std::function<int(sd_bus_message*)>& writeBody);

  void requestName(std::string_view name);
  void releaseName(std::string_view name);
  std::string uniqueName() const;  // ":1.42"

 private:
  // Takes in what the bus delivered; the caller holds lock_.
  void process() const;

  struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  };
  struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
  };

  mutable std::mutex lock_;  // sd-bus is not thread-safe
  std::unique_ptr<sd_bus, BusClose> bus_;
  std::vector<std::unique_ptr<sd_bus_slot, SlotUnref>> slots_;
  mutable std::vector<ReceivedSignal> received_;
};

}  // namespace quillbeam::testing
