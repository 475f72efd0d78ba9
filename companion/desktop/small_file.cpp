#include "companion/desktop/small_file.hpp"

#include <cerrno>

#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion {
namespace {

// Reads until end of file or a full buffer; nothing on an error.
std::optional<size_t> readAll(int fd, std::span<char> buffer) {
  size_t used = 0;
  while (used < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  return used;
}

}  // namespace

std::optional<size_t> readInto(int dirFd, const char* path, std::span<char> buffer) {
  platform::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return std::nullopt;
  return readAll(fd.get(), buffer);
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t limit) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return std::nullopt;
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    if (text.size() + static_cast<size_t>(n) > limit) return std::nullopt;
    text.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace quillbeam::companion
