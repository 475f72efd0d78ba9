#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillbeam::bridge::platform::dbus {

// A Unix socket a bus listens on: a file, or a name in the abstract namespace.
struct SocketEndpoint {
  std::string name;
  bool abstract = false;
  friend bool operator==(const SocketEndpoint&, const SocketEndpoint&) = default;
};

// The Unix sockets named by a bus address ("unix:path=/run/user/1000/bus", several
// separated by ';', values %-escaped), in the order given; other transports are left
// out. A string holding why the address is unusable when it names none.
std::variant<std::vector<SocketEndpoint>, std::string> socketEndpoints(std::string_view address);

}  // namespace quillbeam::bridge::platform::dbus
