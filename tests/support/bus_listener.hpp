#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::testing {

// One signal seen on the bus.
struct ReceivedSignal {
  std::string sender, path, interface, member, signature;
  std::string json;  // the text of a one-entry a{sv} body {"json": <s>}, else empty
};

// Where a notification called "a.b.c.Member" travels: interface "a.b.c", member "Member",
// object path "/a/b/c".
struct SignalRoute {
  std::string path, interface, member;
  static SignalRoute of(std::string_view notificationName);
};

// A peer on a bus on its own sd-bus connection, for one thread: records the signals it
// subscribed to (taking them in whenever asked about them) and emits signals. Throws
// std::runtime_error when the bus refuses something.
class BusListener {
 public:
  explicit BusListener(const std::string& address);

  // Records that notification's signals from any sender and path; in force on return.
  void subscribe(std::string_view notificationName);
  std::vector<ReceivedSignal> received();
  // False when fewer than `count` signals were recorded by the deadline.
  bool waitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // A broadcast signal whose body is one a{sv} of text (none when `entries` is absent) or
  // what `writeBody` appends; written on return.
  void emit(std::string_view notificationName,
            const std::optional<std::map<std::string, std::string>>& entries);
  void emitRaw(const SignalRoute& route, const std::function<int(sd_bus_message*)>& writeBody);

 private:
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus_{nullptr,
                                                                    &sd_bus_flush_close_unref};
  std::vector<std::unique_ptr<sd_bus_slot, decltype(&sd_bus_slot_unref)>> slots_;
  std::vector<ReceivedSignal> received_;
};

}  // namespace quillbeam::testing
