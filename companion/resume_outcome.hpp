#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quillbeam::companion {

// What resuming everything did: how many paused apps were resumed, and the names of those
// that could not be (they stay in the record, to be tried again).
struct ResumeOutcome {
  size_t resumed = 0;
  std::vector<std::string> failed;
};

}  // namespace quillbeam::companion
