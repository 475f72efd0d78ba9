#include "manifest_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::Register {
namespace {

namespace fs = std::filesystem;

// A manifest is a few hundred bytes; anything much larger is not one of ours.
constexpr off_t maxManifestSize = 1 << 20;

}  // namespace

std::optional<std::string> readRegularFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> content;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxManifestSize) {
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
    if (filled == bytes.size()) content = std::move(bytes);
  }
  ::close(fd);
  return content;
}

namespace {

// Whether `file` can be read and run by whom `mode` lets.
bool hasAccessOf(const fs::path& file, mode_t mode) {
  std::error_code ec;
  const auto wanted = fs::perms(mode & 0555);
  const auto perms = fs::status(file, ec).permissions();
  return !ec && (perms & wanted) == wanted;
}

// Creates the missing folders above `file` readable by everyone whatever the umask, so
// that a browser of any user can reach a manifest for all users.
void createFolders(const fs::path& folder) {
  std::error_code ec;
  if (folder.empty() || fs::is_directory(folder, ec)) return;
  createFolders(folder.parent_path());
  if (::mkdir(folder.c_str(), 0755) != 0) {
    if (errno == EEXIST && fs::is_directory(folder, ec)) return;
    throw std::system_error(errno, std::generic_category(), "creating " + folder.string());
  }
  if (::chmod(folder.c_str(), 0755) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "making " + folder.string() + " readable");
  }
}

}  // namespace

WriteOutcome writeManifest(const fs::path& file, std::string_view bytes, bool dryRun, mode_t mode) {
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(file, ec));
  if (exists && fs::is_directory(fs::symlink_status(file, ec))) {
    throw std::system_error(EISDIR, std::generic_category(), file.string());
  }
  if (exists && readRegularFile(file) == bytes && hasAccessOf(file, mode)) {
    return WriteOutcome::unchanged;
  }
  if (!dryRun) {
    createFolders(file.parent_path());
    SharedFiles::writeFileAtomically(file, bytes, mode);
  }
  return exists ? WriteOutcome::replaced : WriteOutcome::created;
}

RemoveOutcome removeManifest(const fs::path& file, bool dryRun) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(file, ec);
  if (!fs::exists(status)) return RemoveOutcome::absent;
  if (fs::is_directory(status)) {
    throw std::system_error(EISDIR, std::generic_category(), file.string());
  }
  if (dryRun) return RemoveOutcome::removed;
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
    throw std::system_error(errno, std::generic_category(), "removing " + file.string());
  }
  // Other hosts' manifests keep the folder; an empty one goes with ours.
  ::rmdir(file.parent_path().c_str());
  return RemoveOutcome::removed;
}

void removeEmptyFolders(const fs::path& folder, const fs::path& last) {
  const auto relative = folder.lexically_relative(last);
  if (relative.empty() || *relative.begin() == "..") return;
  for (fs::path at = folder;; at = at.parent_path()) {
    if ((::rmdir(at.c_str()) != 0 && errno != ENOENT) || at == last) return;
  }
}

}  // namespace quillbeam::Register
