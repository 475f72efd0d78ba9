#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillbeam::testing {

struct ProgramResult {
  // The exit status, or -1 when the program died of a signal or was killed at the deadline.
  int exitCode = -1;
  std::string out;
  std::string err;

  std::vector<std::string> outLines() const;
};

struct ProgramRun {
  std::filesystem::path program;
  std::vector<std::string> arguments;
  // The whole environment of the program (nothing is inherited).
  std::map<std::string, std::string> environment;
  std::optional<std::filesystem::path> workingDirectory;
  // A hang guard: the program is killed when it runs longer.
  std::chrono::seconds deadline{60};
};

// Runs the program to its end with standard input from /dev/null and captures its output.
// Throws std::runtime_error when it cannot be started.
ProgramResult runProgram(const ProgramRun& run);

}  // namespace quillbeam::testing
