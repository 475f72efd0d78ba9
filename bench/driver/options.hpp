#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "host_run.hpp"

namespace quillbeam::bench {

struct Options {
  std::vector<Host> hosts;  // one or two
  int startupRuns = 25;
  int throughputRuns = 7;
  size_t messages = 2000;
  int largeRuns = 5;
  std::vector<size_t> largeSizes{1 << 20, 4 << 20, 8 << 20};
  int growthRuns = 0;
  size_t growthMessages = 100'000;
  std::chrono::milliseconds settle{25};
  std::chrono::seconds timeout{10};
  std::vector<std::string> extraEnvironment;
  bool targets = false;
};

extern const char* const usageText;

// Throws std::invalid_argument with a message for the user on a bad command line.
// Sets `help` and returns defaults when --help is given.
Options parseOptions(int argc, char** argv, bool& help);

}  // namespace quillbeam::bench
