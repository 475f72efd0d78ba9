#include "quillbeam/session/shared_files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::SharedFiles {
namespace {

// Closes a descriptor on every path out of a function.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the close error, which can carry a delayed write failure.
  int closeNow() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Temporary files for `target` are named this plus six characters that mkstemp picks.
std::string temporaryPrefix(const std::filesystem::path& target) {
  return "." + target.filename().native() + ".";
}

[[noreturn]] void throwErrno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
  // Non-blocking so that a FIFO put at this path can never stall the caller.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(st.st_size) > maxLinkFileSize) return std::nullopt;
  std::string bytes;
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      // The file may have grown since fstat; keep reading, within the limit.
      if (bytes.size() >= maxLinkFileSize) return std::nullopt;
      bytes.resize(bytes.size() + 4096);
    }
    ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  // The user database is read from the file itself, not through the name service: the
  // bridge is a static executable, which cannot load name-service modules safely. HOME is
  // set in every login session, so this only serves processes started without one.
  if (FILE* users = std::fopen("/etc/passwd", "re")) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    std::optional<std::filesystem::path> home;
    while (!home && ::fgetpwent_r(users, &entry, buffer.data(), buffer.size(), &found) == 0) {
      if (found->pw_uid == ::getuid() && found->pw_dir && *found->pw_dir) home = found->pw_dir;
    }
    std::fclose(users);
    if (home) return *home;
  }
  return "/";
}

std::filesystem::path directory() {
  return homeDirectory() / "Library" / "Application Support" / "Quillbeam";
}

std::filesystem::path browserLink() {
  return directory() / "browser-link.json";
}

std::optional<BrowserLink> readLink(const std::filesystem::path& from) {
  auto bytes = readRegularFile(from);
  if (!bytes) return std::nullopt;
  try {
    return BrowserLink::fromJson(json::parse(*bytes));
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

void writeFileAtomically(const std::filesystem::path& to, std::string_view bytes, mode_t mode) {
  const std::filesystem::path parent = to.parent_path();
  // A unique name per writer, so concurrent bridges never share a temporary file.
  std::string name = temporaryPrefix(to);
  name += "XXXXXX";
  const std::string pattern = (parent / name).string();
  std::string temporary = pattern;
  int created = ::mkostemp(temporary.data(), O_CLOEXEC);
  // The directory is made only when it is missing: a writer that persists every message
  // should not look it up every time.
  if (created < 0 && (errno == ENOENT || errno == ENOTDIR) && !parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) throwErrno(ec.value(), "creating " + parent.string());
    temporary = pattern;
    created = ::mkostemp(temporary.data(), O_CLOEXEC);
  }
  if (created < 0) throwErrno(errno, "creating a temporary file in " + parent.string());
  FileDescriptor fd(created);

  auto fail = [&](int err, const std::string& what) {
    ::unlink(temporary.c_str());
    throwErrno(err, what);
  };
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "writing " + temporary);
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0) fail(errno, "writing " + temporary);
  // No fsync: the record is live state rewritten by every message; the rename alone keeps
  // readers from ever seeing a part of it.
  if (fd.closeNow() != 0) fail(errno, "writing " + temporary);
  if (::rename(temporary.c_str(), to.c_str()) != 0) fail(errno, "replacing " + to.string());
}

size_t removeStaleTemporaries(const std::filesystem::path& target, std::chrono::seconds olderThan) {
  const std::string prefix = temporaryPrefix(target);
  const auto cutoff = std::filesystem::file_time_type::clock::now() - olderThan;
  size_t removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(target.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) continue;
    std::error_code entryError;
    if (!std::filesystem::is_regular_file(it->symlink_status(entryError)) || entryError) continue;
    const auto changed = std::filesystem::last_write_time(it->path(), entryError);
    if (entryError || changed > cutoff) continue;
    if (std::filesystem::remove(it->path(), entryError)) ++removed;
  }
  return removed;
}

void writeLink(const BrowserLink& link, const std::filesystem::path& to) {
  writeFileAtomically(to, link.encode());
}

}  // namespace quillbeam::SharedFiles
