// The bus connection against a scripted peer on a Unix socket, for what a real daemon
// never does: refuse us, send bytes that are not the protocol, send a message too large
// to keep, or one in big-endian byte order.
#include "platform/linux/dbus/connection.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/linux_platform.hpp"

namespace quillbeam::platform::dbus {
namespace {

using testing::runUntil;

// Accepts one connection on a fresh abstract socket. It hangs up at once when it has no
// `answer`; it refuses the client's AUTH with an `answer` that is a REJECTED line;
// otherwise it admits the client as a daemon does, step by step, and sends `answer` after
// its BEGIN. It holds the connection until the client closes it. `pipelined` tells whether
// the client sent anything before the answer to its previous line.
struct ScriptedPeer {
  explicit ScriptedPeer(std::optional<std::string> answer) {
    const std::string name = address.substr(address.find('=') + 1);
    sockaddr_un at{AF_UNIX, {}};
    name.copy(at.sun_path + 1, name.size());
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&at), length) != 0 ||
        ::listen(listener.get(), 1) != 0) {
      throw std::runtime_error("cannot listen");
    }
    thread = std::jthread([this, answer = std::move(answer)] {
      UniqueFd client(::accept(listener.get(), nullptr, nullptr));
      if (!client || !answer) return;
      std::string seen;
      char buffer[4096];
      const auto await = [&](std::string_view line) {
        for (ssize_t n = 1; n > 0 && seen.find(line) == std::string::npos;) {
          n = ::recv(client.get(), buffer, sizeof buffer, 0);
          seen.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        // Messages may follow BEGIN at once; nothing may follow an earlier line.
        pipelined = pipelined || (line != "BEGIN\r\n" && !seen.ends_with(line));
      };
      // Blocking: returns once all is sent, or the client has gone.
      const auto say = [&](std::string_view bytes) {
        ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      };
      // An empty identity: the bus takes the peer's credentials from the socket.
      await("AUTH EXTERNAL\r\n");
      if (!answer->starts_with("REJECTED")) {
        say("DATA\r\n");
        await("\r\nDATA\r\n");
        say("OK 0123456789abcdef\r\n");
        await("NEGOTIATE_UNIX_FD\r\n");
        say("AGREE_UNIX_FD\r\n");
        await("BEGIN\r\n");
      }
      say(*answer);
      while (::recv(client.get(), buffer, sizeof buffer, 0) > 0) {
      }
    });
  }
  // Wakes an accept still waiting; the thread is joined next.
  ~ScriptedPeer() { ::shutdown(listener.get(), SHUT_RDWR); }

  const std::string address =
      "unix:abstract=quillbeam-peer-" + std::to_string(reinterpret_cast<uintptr_t>(this));
  UniqueFd listener{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::atomic<bool> pipelined = false;
  std::jthread thread;
};

std::string textSignal(uint32_t serial, std::string_view text) {
  Message signal = Message::signal("/com/quillbeam/test", "com.quillbeam.test", "command");
  signal.serial = serial;
  signal.signature = "s";
  Writer(signal.body).string(text);
  return encode(signal);
}

// Signal "C" with serial 5 on path "/a", interface "a.b", body "hi".
const std::string bigEndianSignal(
    "B\4\1\1\0\0\0\10\0\0\0\5\0\0\0\67\1\1o\0\0\0\0\2/a\0\0\0\0\0\0"  // header, path
    "\2\1s\0\0\0\0\3a.b\0\0\0\0\0\3\1s\0\0\0\0\1C\0\0\0\0\0\0\0"      // interface, member
    "\10\1g\0\1s\0\0\0\0\0\2hi\0\0",                                  // body signature, body
    80);

// Each peer answers the handshake its way; a call made at the start hears of the close.
TEST(BusConnection, APeerThatRefusesUsHangsUpOrSendsNoProtocolClosesIt) {
  const std::pair<std::optional<std::string>, std::string> peers[] = {
      {"REJECTED EXTERNAL\r\n", "the session bus refused our credentials"},
      {std::nullopt, "the session bus connection closed"},
      {"this is not a bus message", "the session bus sent something we cannot read: "},
      // A message too large to keep is skipped; the next, in the other byte order, arrives.
      {textSignal(1, std::string(Connection::kMaxIncomingMessage, 'x')) + bigEndianSignal, ""},
  };
  for (const auto& [answer, reason] : peers) {
    ScriptedPeer peer(answer);
    EventLoop loop;
    std::optional<std::string> closed;
    std::vector<Message> signals;
    std::optional<Message> reply;
    Connection connection(loop, peer.address, [&](std::string_view why) { closed = why; });
    connection.onSignal([&](const Message& signal) { signals.push_back(signal); });
    connection.call(Message::busCall("GetId"), [&](const Message& m) { reply = m; });
    connection.start();
    ASSERT_TRUE(runUntil(loop, [&] { return reply || !signals.empty(); }));
    EXPECT_FALSE(peer.pipelined) << "each handshake step waits for the answer to the last";
    if (!reason.empty()) {
      ASSERT_THAT(closed, ::testing::Optional(::testing::StartsWith(reason)));
      EXPECT_EQ(std::tie(reply->type, reply->errorName),
                std::tuple(MessageType::Error, Connection::kDisconnectedError));
      // Once closed, a synchronous call fails at once instead of waiting.
      EXPECT_EQ(connection.callAndWait(Message::busCall("GetId"), std::chrono::hours(1)),
                std::nullopt);
    } else {
      EXPECT_EQ(closed, std::nullopt);
      ASSERT_EQ(signals.size(), 1u);
      EXPECT_EQ(
          std::tie(signals[0].serial, signals[0].path, signals[0].interface, signals[0].member),
          std::tuple(5u, "/a", "a.b", "C"));
      EXPECT_EQ(signals[0].bodyReader().string(), "hi");
    }
  }
}

// The bridge asks the bus on the main loop: a bus that takes the question and never
// answers must neither hold the loop nor leave the question open.
TEST(BusConnection, AQueryToABusThatNeverAnswersIsAnsweredNoAndLoggedOnce) {
  ScriptedPeer peer("");
  std::vector<std::string> log;
  LinuxPlatform platform([&](std::string_view line) { log.emplace_back(line); }, peer.address,
                         std::chrono::milliseconds(100));
  std::optional<bool> running;
  platform.workspace().isRunning("com.quillbeam.test.App", [&](bool yes) { running = yes; });
  ASSERT_TRUE(runUntil(platform.loop(), [&] { return running.has_value(); }));
  testing::turnsIn(platform.loop(), std::chrono::milliseconds(300));
  EXPECT_EQ(running, false);
  EXPECT_THAT(log, ::testing::ElementsAre(::testing::HasSubstr("NameHasOwner")));
}

}  // namespace
}  // namespace quillbeam::platform::dbus
