// The bus client where a desktop can tell it from the well-kept clients, on both bus
// daemons.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/dbus/address.hpp"
#include "platform/linux/linux_platform.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::platform {
namespace {

namespace fs = std::filesystem;
using quillbeam::testing::BusDaemon;
using quillbeam::testing::PrivateBus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::outputBeside;
using testing::runUntil;

constexpr const char* kState = "com.quillbeam.test.browserState";
constexpr const char* kCommand = "com.quillbeam.test.command";

class OnBothDaemons : public ::testing::TestWithParam<BusDaemon> {
 protected:
  OnBothDaemons() { peer.subscribe(kState); }
  void TearDown() override { EXPECT_THAT(log, ::testing::IsEmpty()); }

  // Returns once the peer has seen a signal of `platform`: the daemon has taken
  // everything the platform sent before.
  void seen(LinuxPlatform& platform) {
    const size_t before = peer.received().size();
    platform.notifications().post(kState, std::nullopt);
    EXPECT_TRUE(runUntil(platform.loop(), [&] { return peer.received().size() > before; }));
  }
  std::unique_ptr<LinuxPlatform> connect(const std::optional<std::string>& address) {
    auto platform = std::make_unique<LinuxPlatform>(
        [this](std::string_view line) { log.emplace_back(line); }, address);
    seen(*platform);
    return platform;
  }

  PrivateBus bus{GetParam()};
  quillbeam::testing::BusListener peer{bus.address()};
  std::vector<std::string> log;
};

TEST_P(OnBothDaemons, FindsTheBusInTheRuntimeDirectoryAndPastAnUnusableEntry) {
  EXPECT_EQ(dbus::sessionBusAddress(nullptr, "/nonexistent"), std::nullopt);
  EXPECT_EQ(dbus::sessionBusAddress("unix:path=/a", bus.scratchDir().c_str()), "unix:path=/a");
  connect(dbus::sessionBusAddress("", bus.scratchDir().c_str()));
  connect("garbage;unix:path;" + bus.address());
}

TEST_P(OnBothDaemons, ACommandCarryingADescriptorIsHandledAndTheDescriptorClosed) {
  auto platform = connect(bus.address());
  std::vector<std::string> commands;
  platform->notifications().addObserver(kCommand, [&](const Notification& n) {
    commands.push_back(n.userInfo->at("json").value_or(""));
  });
  seen(*platform);  // the observer's match is in force
  int pipe[2];
  ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
  peer.emitRaw(quillbeam::testing::SignalRoute::of(kCommand), [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "a{sv}", 2, "json", "s", "first", "fd", "h", pipe[1]);
  });
  close(pipe[1]);
  peer.emit(kCommand, std::map<std::string, std::string>{{"json", "second"}});
  ASSERT_TRUE(runUntil(platform->loop(), [&] { return commands.size() == 2; }));
  EXPECT_THAT(commands, ElementsAre("first", "second"));
  // Our read end is the last descriptor of the pipe left in this process.
  const auto pipeName = fs::read_symlink("/proc/self/fd/" + std::to_string(pipe[0]));
  const auto copies = std::count_if(fs::directory_iterator("/proc/self/fd"), {}, [&](auto& fd) {
    std::error_code ec;
    return fs::read_symlink(fd.path(), ec) == pipeName;
  });
  close(pipe[0]);
  EXPECT_EQ(copies, 1);
}

// What `gdbus call` prints for a method called on `destination`, made beside our loop.
std::string gdbusCall(EventLoop& loop, const std::string& address, const std::string& destination,
                      const std::string& method) {
  return outputBeside(loop, "gdbus call --address '" + address + "' --dest " + destination +
                                " --object-path /x --method " + method);
}

TEST_P(OnBothDaemons, AnswersPeerPingAndGetMachineIdAndRefusesOtherCalls) {
  auto platform = connect(bus.address());
  const std::string us = peer.received().back().sender;
  std::string machineId;
  std::ifstream("/etc/machine-id") >> machineId;
  auto& loop = platform->loop();
  const std::string address = bus.address();
  EXPECT_EQ(gdbusCall(loop, address, us, "org.freedesktop.DBus.Peer.Ping"), "()\n");
  EXPECT_EQ(gdbusCall(loop, address, us, "org.freedesktop.DBus.Peer.GetMachineId"),
            "('" + machineId + "',)\n");
  EXPECT_THAT(gdbusCall(loop, address, us, "com.quillbeam.test.Other"),
              HasSubstr("org.freedesktop.DBus.Error.UnknownObject"));
}

INSTANTIATE_TEST_SUITE_P(Daemons, OnBothDaemons,
                         ::testing::Values(BusDaemon::DbusDaemon, BusDaemon::DbusBroker),
                         [](const auto& info) {
                           return info.param == BusDaemon::DbusDaemon ? "DbusDaemon" : "DbusBroker";
                         });

}  // namespace
}  // namespace quillbeam::platform
