#include "platform/linux/linux_platform.hpp"

#include <utility>

#include "platform/linux/dbus/address.hpp"

namespace quillbeam::platform {

LinuxPlatform::LinuxPlatform(std::function<void(std::string_view)> log,
                             const std::optional<std::string>& busAddress,
                             std::chrono::milliseconds queryTimeout)
    : bus_(loop_, busAddress, std::move(log)),
      notifications_(bus_, loop_),
      workspace_(bus_, loop_, queryTimeout) {}

std::unique_ptr<LinuxPlatform> makeLinuxPlatform(std::function<void(std::string_view)> log) {
  return std::make_unique<LinuxPlatform>(std::move(log), dbus::sessionBusAddress());
}

}  // namespace quillbeam::platform
