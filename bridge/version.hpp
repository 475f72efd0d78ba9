#pragma once

#include <string_view>

namespace quillbeam::bridge {

// The bridge's own version: the project version, or "dev" in developer and test builds.
std::string_view bridgeVersion();

}  // namespace quillbeam::bridge
