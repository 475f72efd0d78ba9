#pragma once

#include <gmock/gmock.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "bridge/support/bridge_process.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "quillbeam/wire/native_messaging.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::testing {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;
using NativeMessaging::frame;

inline const std::string helloReply =
    R"({"type":"hello","protocol":1,"appVersion":")" QUILLBEAM_APP_VERSION R"("})";

inline std::string readFile(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Polls `done`; false when it did not hold within 10 s (only to end a broken test).
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Temporary files of atomic writes left in `directory`.
inline Lines temporaryLinkFiles(const std::filesystem::path& directory) {
  Lines names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(".browser-link.json.")) names.push_back(std::move(name));
  }
  return names;
}

// The real bridge in a throwaway HOME on a private session bus, with a listener for its
// browser-state signals.
class BridgeFixture : public ::testing::Test {
 protected:
  BridgeFixture() { listener.subscribe(CompanionNotification::browserState); }
  ~BridgeFixture() override { std::filesystem::remove_all(home); }

  BridgeProcess::Options options() const { return {home, bus.address(), {}, false, {}}; }
  std::unique_ptr<BridgeProcess> start() { return std::make_unique<BridgeProcess>(options()); }
  // Sends a hello; true when its reply came, so everything sent before was handled.
  static bool hello(BridgeProcess& bridge, const std::string& version = "") {
    bridge.send(version.empty() ? R"({"type":"hello"})"
                                : R"({"type":"hello","extensionVersion":")" + version + "\"}");
    return bridge.read() == helloReply;
  }
  // Closes the bridge's input; it must end cleanly.
  static void end(BridgeProcess& bridge) {
    bridge.closeInput();
    EXPECT_EQ(bridge.wait(), 0);
  }
  std::filesystem::path linkPath() const {
    return home / "Library/Application Support/Quillbeam/browser-link.json";
  }
  std::optional<BrowserLink> link() const { return SharedFiles::readLink(linkPath()); }
  // The link record in short: "on|off <session id|-> v<extension version>|- <bridge PID|->",
  // the PID written "self" when it is `bridge`'s; "none" without a readable record.
  std::string linkIs(const BridgeProcess* bridge = nullptr) const {
    const auto r = link();
    if (!r) return "none";
    const std::string pid = !r->bridgePID ? "-"
                            : bridge && *r->bridgePID == bridge->pid()
                                ? "self"
                                : std::to_string(*r->bridgePID);
    return std::string(r->connected ? "on " : "off ") + (r->session ? r->session->id : "-") +
           (r->extensionVersion ? " v" + *r->extensionVersion : " -") + " " + pid;
  }
  void storeLink(const std::string& text) const {
    std::filesystem::create_directories(linkPath().parent_path());
    std::ofstream(linkPath()) << text;
  }

  std::filesystem::path home = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbeam-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  PrivateBus bus;
  BusListener listener{bus.address()};
};

}  // namespace quillbeam::testing
