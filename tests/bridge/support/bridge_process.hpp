#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::testing {

// The real quillbeam_bridge binary on pipes, as a browser runs it: its standard input and
// output are ours, standard error goes to a file, HOME is the given directory.
class BridgeProcess {
 public:
  struct Options {
    std::filesystem::path home;
    // DBUS_SESSION_BUS_ADDRESS; absent leaves the variable unset.
    std::optional<std::string> busAddress;
    // The program to start (argv[0] is this path); defaults to the built bridge.
    std::filesystem::path executable;
    std::vector<std::string> extraArgs;
    // Closes our end of the bridge's stdout right after start (a browser gone away).
    bool closeOutput = false;
  };

  explicit BridgeProcess(Options options);
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  static std::filesystem::path builtBridge();

  // Frames `json` and writes it to the bridge's input.
  void send(std::string_view json);
  // Writes raw bytes, unframed.
  void sendRaw(std::string_view bytes);
  void closeInput();

  // The next framed message from the bridge's output, or nothing by the deadline or at
  // its end.
  std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits for the exit and returns the exit status (-1 when it did not exit by the
  // deadline or died of a signal).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Everything the bridge wrote to standard error so far.
  std::string errorText() const;
  std::vector<std::string> errorLines() const;

  pid_t pid() const { return pid_; }

 private:
  bool readExactly(char* out, size_t n, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::filesystem::path stderrFile_;
  bool exited_ = false;
  int status_ = -1;
};

// A sample session snapshot as JSON text.
std::string sessionJson(std::string_view id, std::string_view goal = "Finish chapter 3");
// A framed-message body for a state report carrying `sessionJsonText` (or null).
std::string stateJson(std::optional<std::string> sessionJsonText, int64_t sentAt = 1);

}  // namespace quillbeam::testing
