#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillbeam::testing {

// Chromium, headless, with one unpacked extension, a profile of its own and its own HOME
// and TMPDIR. The browser leads a process group of its own; the test process adopts what
// it leaves behind, so that nothing of it outlives the object.
class Chromium {
 public:
  struct Options {
    std::filesystem::path binary;
    std::filesystem::path userDataDir;
    std::filesystem::path extensionDir;
    std::filesystem::path home;
    std::filesystem::path tmpDir;
    // The browser's standard output and error, with those of the hosts it starts.
    std::filesystem::path logFile;
    std::string busAddress;
  };

  // The browser to run: $QUILLBEAM_E2E_CHROMIUM, else Debian's /usr/lib/chromium/chromium,
  // else chromium or chromium-browser on PATH. Nothing when none is there; `lookedAt`
  // receives where it looked.
  static std::optional<std::filesystem::path> find(std::string* lookedAt = nullptr);

  // Starts the browser; throws std::runtime_error when it cannot be started.
  explicit Chromium(Options options);
  // Kills the browser, its group and the helpers it left behind, and reaps them all.
  ~Chromium();
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  pid_t pid() const { return pid_; }

  // True once the browser process has ended (it is reaped then); never blocks.
  bool exited();
  // Its exit status, or the negated signal number; only after exited().
  int exitStatus() const { return status_; }

  // SIGKILL to the browser process alone, as when it crashes; its helpers and hosts are
  // left to notice by themselves. Reaps it.
  void killBrowser();

  // A child of the browser whose executable is `executable`: the native host it started.
  std::optional<pid_t> childRunning(const std::filesystem::path& executable) const;

  // The last `count` lines of the log file.
  std::string logTail(size_t count) const;

 private:
  void reapLeftovers();

  Options options_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace quillbeam::testing
