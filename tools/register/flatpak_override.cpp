#include "flatpak_override.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "flatpak_permission.hpp"
#include "shell_word.hpp"

extern char** environ;

namespace quillbeam::Register {
namespace {

// posix_spawn's file actions, destroyed with the scope.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

}  // namespace

std::vector<std::string> hostProgramsOverride(std::string_view appID, bool grant) {
  return {"flatpak", "override", "--user",
          std::string(grant ? "--talk-name=" : "--no-talk-name=") + hostCommandBusName,
          std::string(appID)};
}

std::string commandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) line += (line.empty() ? "" : " ") + shellWord(word);
  return line;
}

void runCommand(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  std::vector<std::string> copies = words;
  for (auto& word : copies) argv.push_back(word.data());
  argv.push_back(nullptr);

  SpawnActions spawn;
  ::posix_spawn_file_actions_adddup2(&spawn.actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &spawn.actions, nullptr, argv.data(), environ);
  if (rc == ENOENT) {
    throw std::runtime_error("cannot run " + commandLine(words) + ": no " + words[0] +
                             " command on PATH");
  }
  if (rc != 0) {
    throw std::runtime_error("cannot run " + commandLine(words) + ": " + std::strerror(rc));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::runtime_error("lost track of " + commandLine(words) + ": " + std::strerror(errno));
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  throw std::runtime_error(commandLine(words) + " failed (" +
                           (WIFEXITED(status)
                                ? "exit status " + std::to_string(WEXITSTATUS(status))
                                : "ended by signal " + std::to_string(WTERMSIG(status))) +
                           ")");
}

}  // namespace quillbeam::Register
