#pragma once
// For tests that run the built programs through the shell, in a folder of their own.
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace quillbeam::testing {

// A fresh folder under /tmp (socket paths below it stay short), removed with its content.
struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::string pattern = "/tmp/quillbeam-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category());
    path = pattern;
  }
  ~Scratch() { std::filesystem::remove_all(path, ignored); }
  std::error_code ignored;
};

inline std::string readFile(const std::filesystem::path& file) {
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}

// One word for /bin/sh, whatever it holds.
inline std::string quoted(const std::string& word) {
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

}  // namespace quillbeam::testing
