#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace quillbeam::companion {

// The whole text of a small file the companion keeps (settings, overrides, the pause
// record). Absent when the file does not exist. Throws std::runtime_error with the reason
// when it is not a regular file (a FIFO is never opened for a blocking read), is larger
// than `maxBytes`, or cannot be read.
std::optional<std::string> readUserFile(const std::filesystem::path& file,
                                        size_t maxBytes = 1u << 20);

}  // namespace quillbeam::companion
