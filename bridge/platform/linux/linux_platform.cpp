#include "platform/linux/linux_platform.hpp"

#include <cstdlib>
#include <utility>

namespace quillbeam::bridge::platform {

LinuxPlatform::LinuxPlatform(std::function<void(std::string_view)> log,
                             const std::optional<std::string>& busAddress)
    : bus_(loop_, busAddress, std::move(log)),
      notifications_(bus_, loop_),
      workspace_(bus_, loop_) {}

std::unique_ptr<LinuxPlatform> makeLinuxPlatform(std::function<void(std::string_view)> log) {
  std::optional<std::string> address;
  if (const char* value = std::getenv("DBUS_SESSION_BUS_ADDRESS")) address = value;
  return std::make_unique<LinuxPlatform>(std::move(log), address);
}

}  // namespace quillbeam::bridge::platform
