#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quillbeam/session/browser_link.hpp"
#include "support/bus_listener.hpp"
#include "support/chromium.hpp"
#include "support/private_bus.hpp"
#include "support/temp_dir.hpp"

namespace quillbeam::testing {

// Chromium is missing or could not start here: the run cannot happen (a test skips).
struct BrowserUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One real round trip's setting: scratch HOME, TMPDIR and profile; a private session bus
// where the companion app (a stand-in that owns com.quillbeam.mac) is activatable and the
// browser-state signal is listened to; the built bridge registered with the built
// quillbeam-register into the profile; and the test extension, copied with its run
// settings. Then the browser, on request.
class BrowserRun {
 public:
  struct Settings {
    // The message type on which the extension closes its port ("disconnectOn").
    std::optional<std::string> disconnectOn;
  };

  static std::filesystem::path bridgeExecutable();
  static inline const char companionName[] = "com.quillbeam.mac";

  explicit BrowserRun(Settings settings);
  ~BrowserRun();

  // Starts Chromium; throws BrowserUnavailable when there is none to start.
  void startBrowser();
  // Waits for the browser to start the bridge and returns its pid. Throws
  // BrowserUnavailable when the browser ends first; nothing when it runs but no host
  // appears by `timeout`.
  std::optional<pid_t> waitForHost(std::chrono::milliseconds timeout);

  // The link file's record now, if it can be read.
  std::optional<BrowserLink> link() const;
  // Polls the link file until `accept` holds for it; the record, or nothing by `timeout`.
  std::optional<BrowserLink> waitForLink(const std::function<bool(const BrowserLink&)>& accept,
                                         std::chrono::milliseconds timeout);
  // Waits for the session the extension reports with this id.
  std::optional<BrowserLink> waitForSession(std::string_view id, std::chrono::milliseconds timeout);

  // Emits the companion's command signal carrying `json`, as the companion app does.
  void emitCommand(std::string_view json);

  // The stand-in companion's pid once bus activation has started it.
  std::optional<pid_t> companionPid() const;

  BusListener& listener() { return *listener_; }
  Chromium& browser() { return *browser_; }
  const std::filesystem::path& profileDir() const { return profile_; }
  std::filesystem::path linkPath() const;
  // The lines the bridge wrote to standard error (through the browser's log).
  std::string bridgeDiagnostics() const;
  // What went on, for a failure message: the browser log's end.
  std::string browserLogTail() const;

 private:
  TempDir root_{"quillbeam-e2e"};
  std::filesystem::path home_;
  std::filesystem::path tmp_;
  std::filesystem::path profile_;
  std::filesystem::path extension_;
  std::filesystem::path log_;
  std::filesystem::path companionMarker_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BusListener> listener_;
  std::unique_ptr<Chromium> browser_;
};

}  // namespace quillbeam::testing
