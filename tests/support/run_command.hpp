#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <memory>
#include <string>

namespace quillbeam::testing {

struct CommandResult {
  int status = -1;     // the exit status; -1 when a signal ended it
  std::string output;  // standard output and error together
};

// Runs `command` with /bin/sh and waits for it to end.
inline CommandResult runCommand(const std::string& command) {
  CommandResult result;
  // A group, so that the command's own redirections win over ours.
  const std::string grouped = "{ " + command + "\n} 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(grouped.c_str(), "r"), ::pclose);
  if (!pipe) return result;
  char buffer[4096];
  for (size_t got; (got = ::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
    result.output.append(buffer, got);
  }
  const int status = ::pclose(pipe.release());
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

// `word` as one word for /bin/sh, whatever it holds.
inline std::string quoted(const std::string& word) {
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

}  // namespace quillbeam::testing
