// The bus connection against a scripted peer on a Unix socket, for what a real daemon
// never does: refuse us, send bytes that are not the protocol, or send a message too
// large to keep.
#include "platform/linux/dbus/connection.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loop_driver.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::bridge::platform::dbus {
namespace {

using testing::runUntil;

// Accepts one connection on a fresh socket and hands it to `script` on a thread.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(int client)> script) {
    char pattern[] = "/tmp/quillbeam-peer.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    socketPath_ = dir_ + "/bus";
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      throw std::runtime_error("cannot listen");
    }
    thread_ = std::thread([this, script = std::move(script)] {
      UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
      if (client) script(client.get());
    });
  }
  ~ScriptedPeer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
    std::filesystem::remove_all(dir_);
  }
  std::string address() const { return "unix:path=" + socketPath_; }

 private:
  std::string dir_;
  std::string socketPath_;
  UniqueFd listener_;
  std::thread thread_;
};

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads until the peer has sent `marker` (or closed).
std::string readUntil(int fd, std::string_view marker) {
  std::string seen;
  char buffer[4096];
  while (seen.find(marker) == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

// Takes the client through the handshake as a daemon does, up to its BEGIN.
void admit(int fd) {
  readUntil(fd, "AUTH EXTERNAL\r\n");
  sendAll(fd, "OK 0123456789abcdef\r\n");
  readUntil(fd, "NEGOTIATE_UNIX_FD\r\n");
  sendAll(fd, "AGREE_UNIX_FD\r\n");
  readUntil(fd, "BEGIN\r\n");
}

std::string signalBytes(uint32_t serial, std::string body = {}, std::string signature = {}) {
  Message signal = Message::signal("/com/quillbeam/test", "com.quillbeam.test", "command");
  signal.serial = serial;
  signal.body = std::move(body);
  signal.signature = std::move(signature);
  return encode(signal);
}

struct Outcome {
  std::optional<std::string> closedBecause;
  std::vector<Message> signals;
};

// Runs a connection to `peer` until it closed or `signals` arrived.
Outcome converse(const ScriptedPeer& peer, size_t signals = 0) {
  EventLoop loop;
  Outcome outcome;
  Connection connection(loop, peer.address(),
                        [&](std::string_view reason) { outcome.closedBecause = reason; });
  connection.onSignal([&](const Message& signal) { outcome.signals.push_back(signal); });
  connection.start();
  runUntil(loop, [&] {
    return outcome.closedBecause.has_value() || (signals > 0 && outcome.signals.size() >= signals);
  });
  return outcome;
}

TEST(BusConnection, APeerThatRefusesOurCredentialsClosesIt) {
  ScriptedPeer peer([](int client) {
    readUntil(client, "AUTH EXTERNAL\r\n");
    sendAll(client, "REJECTED EXTERNAL\r\n");
  });
  EXPECT_EQ(converse(peer).closedBecause, "the session bus refused our credentials");
}

TEST(BusConnection, BytesThatAreNotTheProtocolCloseIt) {
  ScriptedPeer peer([](int client) {
    admit(client);
    sendAll(client, "this is not a bus message at all");
    readUntil(client, "never");
  });
  EXPECT_THAT(
      converse(peer).closedBecause,
      ::testing::Optional(::testing::StartsWith("the session bus sent something we cannot read")));
}

TEST(BusConnection, APeerThatHangsUpClosesIt) {
  ScriptedPeer peer([](int) {});
  EXPECT_EQ(converse(peer).closedBecause, "the session bus connection closed");
}

TEST(BusConnection, AMessageTooLargeToKeepIsSkippedAndTheNextOneArrives) {
  ScriptedPeer peer([](int client) {
    admit(client);
    std::string huge(Connection::kMaxIncomingMessage, 'x');
    std::string body;
    Writer(body).string(huge);
    sendAll(client, signalBytes(1, body, "s"));
    std::string small;
    Writer(small).string("after");
    sendAll(client, signalBytes(2, small, "s"));
    readUntil(client, "never");
  });
  const Outcome outcome = converse(peer, 1);
  EXPECT_EQ(outcome.closedBecause, std::nullopt);
  ASSERT_EQ(outcome.signals.size(), 1u);
  EXPECT_EQ(outcome.signals[0].serial, 2u);
  EXPECT_EQ(outcome.signals[0].bodyReader().string(), "after");
}

TEST(BusConnection, ACallWaitingForAReplyHearsWhenTheConnectionCloses) {
  ScriptedPeer peer([](int client) { admit(client); });
  EventLoop loop;
  std::optional<std::string> closed;
  Connection connection(loop, peer.address(), [&](std::string_view reason) { closed = reason; });
  std::optional<Message> reply;
  connection.call(Message::busCall("GetId"), [&](const Message& m) { reply = m; });
  connection.start();
  ASSERT_TRUE(runUntil(loop, [&] { return reply.has_value(); }));
  EXPECT_EQ(reply->type, MessageType::Error);
  EXPECT_EQ(reply->errorName, Connection::kDisconnectedError);
  EXPECT_EQ(closed, "the session bus connection closed");
  // Once closed, a synchronous call fails at once instead of waiting.
  EXPECT_EQ(connection.callAndWait(Message::busCall("GetId"), std::chrono::seconds(30)),
            std::nullopt);
}

}  // namespace
}  // namespace quillbeam::bridge::platform::dbus
