// The bus connection against a scripted peer on a Unix socket, for what a real daemon
// never does: refuse us, send bytes that are not the protocol, or send a message too
// large to keep.
#include "platform/linux/dbus/connection.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <thread>

#include "loop_driver.hpp"

namespace quillbeam::bridge::platform::dbus {
namespace {

using testing::runUntil;

// Accepts one connection on a fresh abstract socket and hands it to `script` on a thread.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(int client)> script)
      : name_("quillbeam-peer-" + std::to_string(reinterpret_cast<uintptr_t>(this))) {
    sockaddr_un address{AF_UNIX, {}};
    name_.copy(address.sun_path + 1, name_.size());
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
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
  }
  std::string address() const { return "unix:abstract=" + name_; }

 private:
  std::string name_;
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

std::string textSignal(uint32_t serial, std::string_view text) {
  Message signal = Message::signal("/com/quillbeam/test", "com.quillbeam.test", "command");
  signal.serial = serial;
  signal.signature = "s";
  Writer(signal.body).string(text);
  return encode(signal);
}

// Each peer answers the handshake its way; a call made at the start hears of the close.
TEST(BusConnection, APeerThatRefusesUsHangsUpOrSendsNoProtocolClosesIt) {
  const auto greet = [](int client, std::string_view after) {
    readUntil(client, "BEGIN\r\n");
    sendAll(client, after);
    readUntil(client, "never");  // until we close
  };
  const std::tuple<std::function<void(int)>, std::optional<std::string>, std::string> peers[] = {
      {[&](int client) { greet(client, "REJECTED EXTERNAL\r\n"); },
       "the session bus refused our credentials", ""},
      {[](int) {}, "the session bus connection closed", ""},
      {[&](int client) { greet(client, "OK 0123456789abcdef\r\nthis is not a bus message"); },
       "the session bus sent something we cannot read: ", ""},
      // A message too large to keep is skipped; the next one arrives.
      {[&](int client) {
         greet(client, "OK 0123456789abcdef\r\n" +
                           textSignal(1, std::string(Connection::kMaxIncomingMessage, 'x')) +
                           textSignal(2, "after"));
       },
       std::nullopt, "after"},
  };
  for (const auto& [script, reason, text] : peers) {
    ScriptedPeer peer(script);
    EventLoop loop;
    std::optional<std::string> closed;
    std::vector<Message> signals;
    std::optional<Message> reply;
    Connection connection(loop, peer.address(), [&](std::string_view why) { closed = why; });
    connection.onSignal([&](const Message& signal) { signals.push_back(signal); });
    connection.call(Message::busCall("GetId"), [&](const Message& m) { reply = m; });
    connection.start();
    ASSERT_TRUE(runUntil(loop, [&] { return reply || !signals.empty(); }));
    if (reason) {
      EXPECT_THAT(closed, ::testing::Optional(::testing::StartsWith(*reason)));
      EXPECT_EQ(std::tie(reply->type, reply->errorName),
                std::tuple(MessageType::Error, Connection::kDisconnectedError));
      // Once closed, a synchronous call fails at once instead of waiting.
      EXPECT_EQ(connection.callAndWait(Message::busCall("GetId"), std::chrono::hours(1)),
                std::nullopt);
    } else {
      EXPECT_EQ(closed, std::nullopt);
      ASSERT_EQ(signals.size(), 1u);
      EXPECT_EQ(std::tuple(signals[0].serial, signals[0].bodyReader().string()),
                std::tuple(2u, text));
    }
  }
}

}  // namespace
}  // namespace quillbeam::bridge::platform::dbus
