#pragma once

#include <fcntl.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

// Reading the small text files of procfs and cgroupfs. Their size shows as 0 or 4096
// whatever they hold, so they are read until end of file, never by their stat size.
namespace quillbeam::companion {

// Fills `buffer` from `path` (relative to `dirFd`, or absolute with AT_FDCWD) and returns
// the number of bytes read, or nothing when the file cannot be opened or read. A file
// longer than the buffer is cut at its size.
std::optional<size_t> readInto(int dirFd, const char* path, std::span<char> buffer);

// The whole file up to `limit` bytes, or nothing when it cannot be read or is longer.
std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         size_t limit = size_t{4} << 20);

}  // namespace quillbeam::companion
