#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quillbeam::CompanionProtocol {

inline constexpr int64_t version = 1;
// The native messaging host name of the bridge.
inline constexpr std::string_view hostName = "com.quillbeam.companion";
// The browser extensions allowed to connect.
inline constexpr std::array<std::string_view, 1> extensionIDs{"anaamofdcieamnmnkhkdbgikgmcpncak"};

}  // namespace quillbeam::CompanionProtocol
