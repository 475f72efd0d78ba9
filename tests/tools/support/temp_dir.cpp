#include "temp_dir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace quillbeam::testing {

TempDir::TempDir(std::string_view prefix) {
  // /tmp rather than $TMPDIR: socket paths below it must stay short.
  std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quillbeam::testing
