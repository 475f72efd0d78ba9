#pragma once

#include <string_view>

namespace quillbeam::bridge {

// The bridge's own version: the project version in release builds, "dev" otherwise.
std::string_view bridgeVersion();

}  // namespace quillbeam::bridge
