// Launching the companion app from the real bridge: by D-Bus activation of a stand-in,
// and from an app bundle that holds the bridge.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "bridge_fixture.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string helloReply = R"({"type":"hello","protocol":1,"appVersion":"dev"})";

bool waitForFile(const fs::path& p, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(p) && fs::file_size(p) > 0) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string readAll(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Launch : public BridgeFixture {
 protected:
  fs::path marker() const { return bus->scratchDir() / "companion-started"; }
  void installStandIn() {
    bus->writeService("com.quillbeam.mac", std::string(QUILLBEAM_NAME_OWNER_PATH) +
                                               " com.quillbeam.mac " + marker().string());
  }
};

TEST_F(Launch, NewSessionActivatesTheCompanion) {
  installStandIn();
  auto bridge = start();
  bridge->send(stateJson(sessionJson("first")));
  EXPECT_TRUE(waitForFile(marker())) << bridge->errorText();
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
}

TEST_F(Launch, TheStoredSessionDoesNotLaunchAfterARestart) {
  installStandIn();
  fs::create_directories(linkPath().parent_path());
  std::ofstream(linkPath()) << R"({"connected":true,"lastSeen":1,"session":)" +
                                   sessionJson("kept") + "}";
  auto bridge = start();
  bridge->send(stateJson(sessionJson("kept", "changed goal")));
  bridge->send(R"({"type":"hello"})");
  ASSERT_EQ(bridge->read(), helloReply);
  // An activation would have been requested while the state was handled; give the bus
  // ample time to start the stand-in before concluding that nothing was started.
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(fs::exists(marker()));
  EXPECT_EQ(link()->session->goal, "changed goal");

  bridge->send(stateJson(sessionJson("another")));
  EXPECT_TRUE(waitForFile(marker()));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(Launch, NoInstalledCompanionMeansNothingHappens) {
  auto bridge = start();
  bridge->send(stateJson(sessionJson("nobody")));
  bridge->send(R"({"type":"hello"})");
  ASSERT_EQ(bridge->read(), helloReply);
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
}

TEST_F(Launch, BundleAroundTheBridgeIsOpenedThroughASymlink) {
  // Quillbeam.app/Contents/MacOS holds a copy of the bridge and the app's own executable.
  const fs::path bundle = home / "Apps" / "Quillbeam.app";
  const fs::path macos = bundle / "Contents" / "MacOS";
  fs::create_directories(macos);
  fs::copy_file(BridgeProcess::builtBridge(), macos / "quillbeam_bridge");
  const fs::path report = home / "app-report";
  {
    std::ofstream app(macos / "Quillbeam");
    // $$ is this shell even inside $(...), so the descriptors read are the app's own.
    app << "#!/bin/sh\n"
        << "fds=$(for fd in 0 1 2; do echo \"fd$fd=$(readlink /proc/$$/fd/$fd)\"; done)\n"
        << "{ echo \"ppid=$PPID\"; echo \"sid=$(ps -o sid= -p $$ | tr -d ' ')\";"
        << " echo \"$fds\"; } > '" << report.string() << ".tmp'\n"
        << "mv '" << report.string() << ".tmp' '" << report.string() << "'\n";
  }
  fs::permissions(macos / "Quillbeam", fs::perms::owner_all, fs::perm_options::add);
  fs::create_symlink(macos / "quillbeam_bridge", home / "bridge-link");

  auto o = options();
  o.executable = home / "bridge-link";
  BridgeProcess bridge(o);
  bridge.send(stateJson(sessionJson("bundle")));
  ASSERT_TRUE(waitForFile(report)) << bridge.errorText();
  const std::string text = readAll(report);
  EXPECT_EQ(text.find("ppid=" + std::to_string(bridge.pid()) + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("sid=" + std::to_string(::getsid(bridge.pid())) + "\n"), std::string::npos)
      << text;
  for (const char* fd : {"fd0=/dev/null", "fd1=/dev/null", "fd2=/dev/null"}) {
    EXPECT_NE(text.find(fd), std::string::npos) << text;
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.errorText(), "");
}

TEST_F(Launch, AFailedLaunchIsLoggedOnce) {
  // A bundle whose executable is missing: the spawn fails and says why.
  const fs::path macos = home / "Broken.app" / "Contents" / "MacOS";
  fs::create_directories(macos);
  fs::copy_file(BridgeProcess::builtBridge(), macos / "quillbeam_bridge");
  auto o = options();
  o.executable = macos / "quillbeam_bridge";
  BridgeProcess bridge(o);
  bridge.send(stateJson(sessionJson("broken")));
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (bridge.errorLines().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.errorLines();
  ASSERT_EQ(lines.size(), 1u) << bridge.errorText();
  EXPECT_TRUE(lines[0].starts_with("quillbeam-bridge: couldn't launch Quillbeam: ")) << lines[0];
}

}  // namespace
}  // namespace quillbeam::testing
