#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace quillbeam::testing {

// A fresh folder, removed with everything in it when this goes. It lies under TMPDIR, or
// /tmp when TMPDIR's path is long: sockets made below it must fit in sockaddr_un (108
// bytes). Throws std::system_error when it cannot be made.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "quillbeam-test") {
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    std::string pattern = (!ec && tmp.native().size() < 60 ? tmp : "/tmp") / (prefix + "-XXXXXX");
    if (!::mkdtemp(pattern.data())) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quillbeam::testing
