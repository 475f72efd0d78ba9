#pragma once

#include <filesystem>
#include <string_view>

namespace quillbeam::testing {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "quillbeam-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quillbeam::testing
