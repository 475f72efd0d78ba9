#include "host_run.hpp"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "framing.hpp"
#include "run_failure.hpp"
#include "sample_messages.hpp"

namespace quillbeam::bench {

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

HostRun::HostRun(const Host& host, const RunSettings& settings)
    : host_(host), settings_(settings), dir_("quillbeam-bench") {
  std::error_code error;
  std::filesystem::create_directory(dir_.path() / "home", error);
  if (error) throw RunFailure("couldn't make a home directory: " + error.message());
}

void HostRun::start() {
  std::vector<std::string> environment = settings_.environment;
  environment.push_back("HOME=" + (dir_.path() / "home").string());
  process_ = std::make_unique<HostProcess>(host_.argv, environment, dir_.path() / "stderr");
}

void HostRun::send(std::string_view bytes, bool awaitHello) {
  process_->exchange(bytes, awaitHello, settings_.stall);
}

void HostRun::hello() {
  send(framed(helloMessage), true);
}

MemoryUse HostRun::settledMemory() {
  std::this_thread::sleep_for(settings_.settle);
  auto use = memoryUse(process_->pid());
  if (!use) throw RunFailure("couldn't read the host's memory use");
  return *use;
}

double HostRun::closeAndWait() {
  const Clock::time_point start = Clock::now();
  process_->closeInput();
  const int status = process_->waitExit(settings_.stall);
  const Clock::time_point end = Clock::now();
  if (WIFSIGNALED(status)) {
    throw RunFailure("host was killed by signal " + std::to_string(WTERMSIG(status)));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw RunFailure("host exited with status " + std::to_string(WEXITSTATUS(status)));
  }
  return millisecondsBetween(start, end);
}

std::string HostRun::lastErrorLine() const {
  std::ifstream in(dir_.path() / "stderr");
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

}  // namespace quillbeam::bench
