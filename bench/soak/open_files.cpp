#include "open_files.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quillbeam::soak {

std::vector<std::string> openFiles(pid_t pid) {
  std::vector<std::pair<int, std::string>> found;
  std::error_code ec;
  const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::error_code linkError;
    auto target = std::filesystem::read_symlink(entry.path(), linkError);
    found.emplace_back(std::stoi(entry.path().filename().string()),
                       linkError ? std::string("?") : target.string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> lines;
  for (const auto& [fd, target] : found) lines.push_back(std::to_string(fd) + " -> " + target);
  return lines;
}

}  // namespace quillbeam::soak
