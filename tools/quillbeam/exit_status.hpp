#pragma once

#include <iostream>
#include <string_view>

namespace quillbeam::cli {

// What the quillbeam command tells its caller; the README documents these.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;  // an incomplete draft, no session bus, no output
inline constexpr int exitUsage = 2;
inline constexpr int exitNotConnected = 3;  // no browser to take the command; nothing sent

// The one line on standard error that goes with a status other than success.
inline void complain(std::string_view reason) {
  std::cerr << "quillbeam: " << reason << "\n";
}

}  // namespace quillbeam::cli
