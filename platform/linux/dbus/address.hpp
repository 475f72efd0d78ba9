#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillbeam::platform::dbus {

// A Unix socket a bus listens on: a file, or a name in the abstract namespace.
struct SocketEndpoint {
  std::string name;
  bool abstract = false;
  friend bool operator==(const SocketEndpoint&, const SocketEndpoint&) = default;
};

// The Unix sockets named by a bus address ("unix:path=/run/user/1000/bus", several
// separated by ';', values %-escaped), in the order given. Entries of other transports,
// and entries that cannot be read, are left out, as every bus library does. A string
// holding why the address is unusable when it names none: the first entry's problem.
std::variant<std::vector<SocketEndpoint>, std::string> socketEndpoints(std::string_view address);

// The session bus's address as the desktop's bus libraries find it: `variable` (what
// DBUS_SESSION_BUS_ADDRESS holds) when it is set and not empty, else the socket "bus" in
// `runtimeDir` (XDG_RUNTIME_DIR) when that exists; nothing when neither does.
std::optional<std::string> sessionBusAddress(const char* variable, const char* runtimeDir);
// The same, from this process's environment.
std::optional<std::string> sessionBusAddress();

}  // namespace quillbeam::platform::dbus
