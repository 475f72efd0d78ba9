#include "user_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion {

std::optional<std::string> readUserFile(const std::filesystem::path& file, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then refuses it.
  platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throw std::runtime_error(std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw std::runtime_error(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw std::runtime_error("not a regular file");
  if (static_cast<uint64_t>(info.st_size) > maxBytes) {
    throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error(std::strerror(errno));
    if (got == 0) return text;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > maxBytes) {
      throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
}

}  // namespace quillbeam::companion
