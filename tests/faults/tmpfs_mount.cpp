#include "faults/tmpfs_mount.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quillbeam::testing {

namespace {

std::string options(size_t bytes) {
  return "size=" + std::to_string(bytes) + ",mode=0755";
}

}  // namespace

std::unique_ptr<TmpfsMount> TmpfsMount::tryMount(const std::filesystem::path& where, size_t bytes,
                                                 std::string& why) {
  if (::mount("quillbeam-faults", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
              options(bytes).c_str()) != 0) {
    why = "cannot mount a tmpfs here (" + std::string(std::strerror(errno)) +
          "); the test needs CAP_SYS_ADMIN";
    return nullptr;
  }
  return std::make_unique<TmpfsMount>(Mounted{}, where, bytes);
}

TmpfsMount::~TmpfsMount() {
  // Lazily, so that a descriptor still open somewhere cannot keep the mount behind.
  ::umount2(where_.c_str(), MNT_DETACH);
}

void TmpfsMount::setReadOnly(bool readOnly) {
  const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  if (::mount("quillbeam-faults", where_.c_str(), "tmpfs", flags, options(bytes_).c_str()) != 0) {
    throw std::system_error(errno, std::generic_category(), "remounting " + where_.string());
  }
}

size_t fillUp(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "creating " + path.string());
  const std::string block(4096, 'x');
  size_t written = 0;
  for (;;) {
    const ssize_t n = ::write(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
  return written;
}

}  // namespace quillbeam::testing
