// The bus client where a desktop can tell it from sd-bus, GDBus and libdbus: on both bus
// daemons, and against scripted peers for what daemons never do.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/dbus/address.hpp"
#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/linux_platform.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::bridge::platform {
namespace {

namespace fs = std::filesystem;
using quillbeam::testing::BusDaemon;
using quillbeam::testing::PrivateBus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::runUntil;

constexpr const char* kState = "com.quillbeam.test.browserState";
constexpr const char* kCommand = "com.quillbeam.test.command";
constexpr const char* kApp = "com.quillbeam.test.App";

class OnBothDaemons : public ::testing::TestWithParam<BusDaemon> {
 protected:
  OnBothDaemons() { peer.subscribe(kState); }
  void TearDown() override { EXPECT_THAT(log, ::testing::IsEmpty()); }

  // Returns once the peer has seen a signal of `platform`: the daemon has taken
  // everything the platform sent before.
  void seen(LinuxPlatform& platform) {
    const size_t before = peer.received().size();
    platform.notifications().post(kState, std::nullopt);
    EXPECT_TRUE(runUntil(platform.eventLoop(), [&] { return peer.received().size() > before; }));
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
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return commands.size() == 2; }));
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

TEST_P(OnBothDaemons, AQueryOutToAStoppedDaemonHoldsNothingAndItsLateAnswerCounts) {
  auto platform = connect(bus.address());
  ::kill(bus.daemonPid(), SIGSTOP);
  std::optional<bool> running;
  bool ran = false;
  // The bus itself always owns its name.
  platform->workspace().isRunning("org.freedesktop.DBus", [&](bool answer) { running = answer; });
  platform->loop().post([&] { ran = true; });
  const bool blocksRan = runUntil(platform->eventLoop(), [&] { return ran; });
  const bool answeredEarly = running.has_value();
  ::kill(bus.daemonPid(), SIGCONT);
  EXPECT_TRUE(blocksRan);
  EXPECT_FALSE(answeredEarly);
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return running.has_value(); }));
  EXPECT_EQ(running, true);
}

// What `gdbus call` prints for a method called on `destination`, made beside our loop.
std::string gdbusCall(EventLoop& loop, const std::string& address, const std::string& destination,
                      const std::string& method) {
  auto output = std::async(std::launch::async, [=] {
    const std::string command = "gdbus call --address '" + address + "' --dest " + destination +
                                " --object-path /x --method " + method + " 2>&1";
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (int c = 0; (c = std::fgetc(pipe)) != EOF;) text += static_cast<char>(c);
    ::pclose(pipe);
    return text;
  });
  runUntil(
      loop, [&] { return output.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      std::chrono::seconds(60));
  return output.get();
}

TEST_P(OnBothDaemons, AnswersPeerPingAndGetMachineIdAndRefusesOtherCalls) {
  auto platform = connect(bus.address());
  const std::string us = peer.received().back().sender;
  std::string machineId;
  std::ifstream("/etc/machine-id") >> machineId;
  auto& loop = platform->eventLoop();
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

// A bus socket served by `script` on a thread.
class ScriptedBus {
 public:
  explicit ScriptedBus(std::function<void(int client)> script) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    fs::remove(path_);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      throw std::runtime_error("cannot listen");
    }
    thread_ = std::thread([this, script = std::move(script)] {
      UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
      if (client) script(client.get());
    });
  }
  ~ScriptedBus() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
    fs::remove(path_);
  }
  std::string address() const { return "unix:path=" + path_; }

 private:
  std::string path_ = "/tmp/quillbeam-scripted-bus-" + std::to_string(::getpid());
  UniqueFd listener_;
  std::thread thread_;
};

std::string readLine(int fd) {
  std::string line;
  char c = 0;
  while (!line.ends_with("\r\n") && ::recv(fd, &c, 1, 0) == 1) line += c;
  return line;
}

TEST(BusHandshake, EachStepWaitsForTheAnswerToTheOneBefore) {
  std::vector<std::string> heard;
  std::atomic<bool> done = false;
  ScriptedBus bus([&](int client) {
    for (std::string_view answer :
         {"DATA\r\n", "OK 0123456789abcdef0123456789abcdef\r\n", "AGREE_UNIX_FD\r\n"}) {
      heard.push_back(readLine(client));
      char c = 0;
      if (::recv(client, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1) heard.back() += " and more";
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    heard.push_back(readLine(client));
    done = true;
  });
  EventLoop loop;
  dbus::Connection connection(loop, bus.address(), [](std::string_view) {});
  connection.start();
  ASSERT_TRUE(runUntil(loop, [&] { return done.load(); }));
  EXPECT_THAT(heard, ElementsAre(std::string("\0AUTH EXTERNAL\r\n", 16), "DATA\r\n",
                                 "NEGOTIATE_UNIX_FD\r\n", "BEGIN\r\n"));
}

TEST(BusHandshake, AQueryToABusThatNeverAnswersIsAnsweredNoAndLoggedOnce) {
  ScriptedBus bus([](int client) {
    char c = 0;
    while (::recv(client, &c, 1, 0) == 1) {
    }
  });
  std::vector<std::string> log;
  LinuxPlatform platform([&](std::string_view line) { log.emplace_back(line); }, bus.address(),
                         std::chrono::milliseconds(100));
  std::optional<bool> running;
  platform.workspace().isRunning(kApp, [&](bool answer) { running = answer; });
  ASSERT_TRUE(runUntil(platform.eventLoop(), [&] { return running.has_value(); }));
  runUntil(
      platform.eventLoop(), [] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(running, false);
  EXPECT_THAT(log, ElementsAre(HasSubstr("NameHasOwner")));
}

}  // namespace
}  // namespace quillbeam::bridge::platform
