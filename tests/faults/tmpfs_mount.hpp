#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace quillbeam::testing {

// A small tmpfs mounted over a directory for the life of the object: a filesystem the
// test can fill or make read-only, which stops root too (unlike file modes). Mounting
// needs CAP_SYS_ADMIN; where the machine refuses, tryMount says why.
class TmpfsMount {
  struct Mounted {};

 public:
  // Mounts a tmpfs of `bytes` at `where` (an existing directory). On failure returns
  // nothing and sets `why`.
  static std::unique_ptr<TmpfsMount> tryMount(const std::filesystem::path& where, size_t bytes,
                                              std::string& why);
  TmpfsMount(Mounted, std::filesystem::path where, size_t bytes)
      : where_(std::move(where)), bytes_(bytes) {}
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  // Remounts read-only or read-write; throws std::system_error on failure.
  void setReadOnly(bool readOnly);

 private:
  std::filesystem::path where_;
  size_t bytes_;
};

// Writes to a new file `path` until the filesystem is full; returns the bytes written.
size_t fillUp(const std::filesystem::path& path);

}  // namespace quillbeam::testing
