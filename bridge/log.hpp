#pragma once

#include <string_view>

namespace quillbeam::bridge {

// Writes "quillbeam-bridge: " + message + "\n" to standard error in one write call, so
// lines from different threads never mix. Takes no lock; safe on any thread.
void log(std::string_view message);

}  // namespace quillbeam::bridge
