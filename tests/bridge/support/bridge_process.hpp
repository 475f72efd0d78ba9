#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::testing {

// The real quillbeam_bridge binary on pipes, as a browser runs it: its standard input and
// output are ours, standard error goes to a file, HOME is the given directory. Killed on
// destruction if still running.
class BridgeProcess {
 public:
  struct Options {
    std::filesystem::path home;
    std::optional<std::string> busAddress;  // DBUS_SESSION_BUS_ADDRESS; absent: unset
    std::filesystem::path executable;       // argv[0]; empty: the built bridge
    bool closeOutput = false;  // close our end of its stdout at once (a browser gone away)
    std::optional<std::string> runtimeDir;  // XDG_RUNTIME_DIR; absent: unset
  };

  explicit BridgeProcess(Options options);
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  // Writes a framed message or raw bytes. False when not all was taken because the bridge
  // stopped reading (it may end on bad input at any time).
  bool send(std::string_view json);
  bool sendRaw(std::string_view bytes);
  void closeInput();

  // The next framed message from the bridge, or nothing at the deadline or its end.
  std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The exit status; -1 when it did not exit by the deadline or died of a signal.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  std::vector<std::string> errorLines() const;  // its standard error so far
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::filesystem::path stderrFile_;
  std::optional<int> status_;
};

// A sample session snapshot, and a state message carrying one (or null), as JSON text.
std::string sessionJson(std::string_view id, std::string_view goal = "Finish chapter 3");
std::string stateJson(std::optional<std::string> sessionJsonText, int64_t sentAt = 1);

}  // namespace quillbeam::testing
