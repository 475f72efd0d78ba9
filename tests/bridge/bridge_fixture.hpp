#pragma once

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>

#include "bridge/support/bridge_process.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "quillbeam/wire/native_messaging.hpp"
#include "support/bus_listener.hpp"
#include "support/eventually.hpp"
#include "support/file_text.hpp"
#include "support/private_bus.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::testing {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;
using NativeMessaging::frame;

inline const std::string helloReply =
    R"({"type":"hello","protocol":1,"appVersion":")" QUILLBEAM_APP_VERSION R"("})";

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
  void storeLink(const std::string& text) const { writeFile(linkPath(), text); }

  ScratchDir scratch;
  const std::filesystem::path home = scratch.path();
  PrivateBus bus;
  BusListener listener{bus.address()};
};

}  // namespace quillbeam::testing
