#include "platform/linux/dbus/address.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>

namespace quillbeam::platform::dbus {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out.push_back(value[i]);
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int high = hexValue(value[i + 1]);
    const int low = hexValue(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

// The socket of one entry ("unix:path=..."), nothing for another transport, or why the
// entry cannot be read.
std::variant<std::optional<SocketEndpoint>, std::string> entryEndpoint(std::string_view entry) {
  const size_t colon = entry.find(':');
  if (colon == std::string_view::npos) return "the bus address has no transport";
  if (entry.substr(0, colon) != "unix") return std::nullopt;
  std::optional<SocketEndpoint> endpoint;
  std::string_view keys = entry.substr(colon + 1);
  while (!keys.empty()) {
    const size_t comma = keys.find(',');
    const std::string_view pair = keys.substr(0, comma);
    keys = comma == std::string_view::npos ? std::string_view() : keys.substr(comma + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) return "the bus address has a key without a value";
    const std::string_view key = pair.substr(0, equals);
    if (key != "path" && key != "abstract") continue;
    auto value = unescape(pair.substr(equals + 1));
    if (!value || value->empty()) return "the bus address has a malformed socket name";
    endpoint = SocketEndpoint{std::move(*value), key == "abstract"};
  }
  return endpoint;
}

// Address values keep [-0-9A-Za-z_/.\\*] as they are and %-escape every other byte.
std::string escape(std::string_view value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::string_view("-_/.\\*").find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out += {'%', kDigits[byte >> 4], kDigits[byte & 0xf]};
    }
  }
  return out;
}

}  // namespace

std::variant<std::vector<SocketEndpoint>, std::string> socketEndpoints(std::string_view address) {
  std::vector<SocketEndpoint> endpoints;
  std::optional<std::string> problem;  // of the first entry that cannot be read
  bool sawEntry = false;
  while (!address.empty()) {
    const size_t end = address.find(';');
    const std::string_view entry = address.substr(0, end);
    address = end == std::string_view::npos ? std::string_view() : address.substr(end + 1);
    if (entry.empty()) continue;
    sawEntry = true;
    auto endpoint = entryEndpoint(entry);
    if (auto* found = std::get_if<std::optional<SocketEndpoint>>(&endpoint)) {
      if (*found) endpoints.push_back(std::move(**found));
    } else if (!problem) {
      problem = std::move(std::get<std::string>(endpoint));
    }
  }
  if (!endpoints.empty()) return endpoints;
  if (problem) return *problem;
  return sawEntry ? "the bus address names no Unix socket" : "the bus address is empty";
}

std::optional<std::string> sessionBusAddress(const char* variable, const char* runtimeDir) {
  if (variable != nullptr && *variable != '\0') return std::string(variable);
  if (runtimeDir == nullptr || *runtimeDir == '\0') return std::nullopt;
  const std::string socket = std::string(runtimeDir) + "/bus";
  struct stat status {};
  if (::stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return std::nullopt;
  return "unix:path=" + escape(socket);
}

std::optional<std::string> sessionBusAddress() {
  return sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
}

}  // namespace quillbeam::platform::dbus
