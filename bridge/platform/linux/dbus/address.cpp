#include "platform/linux/dbus/address.hpp"

#include <optional>

namespace quillbeam::bridge::platform::dbus {
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

}  // namespace

std::variant<std::vector<SocketEndpoint>, std::string> socketEndpoints(std::string_view address) {
  std::vector<SocketEndpoint> endpoints;
  bool sawEntry = false;
  while (!address.empty()) {
    const size_t end = address.find(';');
    const std::string_view entry = address.substr(0, end);
    address = end == std::string_view::npos ? std::string_view() : address.substr(end + 1);
    if (entry.empty()) continue;
    sawEntry = true;
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return "the bus address has no transport";
    if (entry.substr(0, colon) != "unix") continue;

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
    if (endpoint) endpoints.push_back(std::move(*endpoint));
  }
  if (!sawEntry) return "the bus address is empty";
  if (endpoints.empty()) return "the bus address names no Unix socket";
  return endpoints;
}

}  // namespace quillbeam::bridge::platform::dbus
