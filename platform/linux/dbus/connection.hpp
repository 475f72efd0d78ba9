#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/dbus/address.hpp"
#include "platform/linux/dbus/message.hpp"
#include "platform/linux/dbus/owned_names.hpp"
#include "platform/linux/event_loop.hpp"
#include "platform/linux/unique_fd.hpp"

namespace quillbeam::platform::dbus {

// A client connection to a message bus, on the main loop. It takes messages from the
// moment it is made, but touches no socket until start(): whoever owns it chooses when
// connecting may cost the process time. The handshake goes as a line-by-line server (and
// the sandbox proxies in front of a bus) expects it: AUTH EXTERNAL without an identity,
// so the bus takes our socket's credentials; once it says OK, NEGOTIATE_UNIX_FD; then
// BEGIN. Hello and everything the caller sent meanwhile follow BEGIN in one write, so the
// caller never waits for the bus. Descriptors the bus passes us are closed on arrival:
// we use none. Messages sent during a loop turn are written together before the loop
// waits again (or by flush and synchronous calls); what the socket does not take waits
// for it. When the connection fails for any reason it closes for good and says why,
// once. It answers org.freedesktop.DBus.Peer calls on every path, hands other calls to
// its owner's handler and refuses those the handler does not take, as the bus libraries
// do. Main thread only.
class Connection {
 public:
  using Closed = std::function<void(std::string_view reason)>;
  using Handler = std::function<void(const Message&)>;
  // Takes an incoming method call; true when it answers it (now or later, through
  // reply()), false to have it refused.
  using MethodHandler = std::function<bool(const Message& call)>;

  // Output waiting beyond this means the bus stopped reading us; the connection closes
  // rather than grow without bound.
  static constexpr size_t kMaxPendingOutput = 16u * 1024u * 1024u;
  // Larger incoming messages are skipped unread: none we handle comes near it.
  static constexpr size_t kMaxIncomingMessage = 16u * 1024u * 1024u;
  // Error name of the replies made here for calls the connection could not complete.
  static constexpr const char* kDisconnectedError = "org.freedesktop.DBus.Error.Disconnected";
  // Error name of the replies made here for calls not answered in time.
  static constexpr const char* kNoReplyError = "org.freedesktop.DBus.Error.NoReply";

  // A connection to `address` (a D-Bus address). Throws std::runtime_error with the reason
  // when the address names no Unix socket. `closed` hears why the connection closed,
  // once, on the loop.
  Connection(EventLoop& loop, std::string_view address, Closed closed);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Connects to the first socket of the address that accepts, and sends what is queued.
  // When none accepts, the connection closes. Calls after the first do nothing.
  void start();

  // Until the connection closes; also before it started.
  bool isOpen() const { return !closed_; }

  // Receives every signal routed to us, in order.
  void onSignal(Handler handler) { signal_ = std::move(handler); }

  // Receives every incoming method call other than Peer's, in order.
  void onMethodCall(MethodHandler handler) { methodCall_ = std::move(handler); }

  // Sends `message` with the next serial.
  void send(Message message);

  // Sends `reply` (see Message::returnFor, Message::errorFor) to `call`, unless the
  // caller asked for no reply.
  void reply(const Message& call, Message reply);

  // Asks the bus for the well-known `name`; see OwnedNames::request.
  void requestName(std::string name, NameWatch watch) {
    names_.request(std::move(name), std::move(watch));
  }
  // Gives up `name`; see OwnedNames::release.
  void releaseName(std::string_view name) { names_.release(name); }

  // Sends a method call whose reply (a return or an error) goes to `reply`, on the loop;
  // when the connection closes first, or `timeout` passes first, `reply` gets an error
  // made here (kDisconnectedError, kNoReplyError) and a later answer is dropped.
  void call(Message message, Handler reply,
            std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  // Starts the connection if need be, sends a method call and waits at most `timeout`
  // for its reply; absent on timeout or
  // when the connection closes. Messages read meanwhile are handled afterwards, on the
  // loop, in the order they came.
  std::optional<Message> callAndWait(Message message, std::chrono::milliseconds timeout);

  // Starts the connection if need be and returns once the bus has taken everything sent
  // so far, or `timeout` passed.
  void flush(std::chrono::milliseconds timeout);

 private:
  uint32_t queue(Message& message);
  void writeSome();
  void readSome(size_t budget);
  void takeHandshakeReply();
  void expireCalls();
  void armTimer();
  void takeMessages();
  void dispatch();
  void handle(const Message& message);
  void dispatchLater();
  void updateInterest();
  void close(std::string_view reason);
  static Message localError(uint32_t serial, const char* name, const std::string& text);
  static Message disconnectedReply(uint32_t serial);

  enum class Handshake { Authenticating, Negotiating, Done };
  struct PendingCall {
    Handler reply;
    std::optional<std::chrono::steady_clock::time_point> deadline;
  };

  EventLoop& loop_;
  Closed onClosed_;
  std::vector<SocketEndpoint> endpoints_;
  bool started_ = false;
  bool closed_ = false;
  Handler signal_;
  MethodHandler methodCall_;
  OwnedNames names_{*this, loop_};
  UniqueFd socket_;
  std::unique_ptr<EventLoop::Watch> watch_;
  std::unique_ptr<EventLoop::Hook> beforeWait_;
  uint32_t lastSerial_ = 0;
  Handshake handshake_ = Handshake::Authenticating;
  std::string held_;       // messages queued until BEGIN is sent
  bool confirmed_ = true;  // whether the bus is known to have taken all we sent
  std::string output_;
  size_t outputStart_ = 0;
  std::string input_;
  size_t inputStart_ = 0;
  size_t skipping_ = 0;  // bytes of an oversized message still to drop
  std::deque<Message> inbox_;
  std::map<uint32_t, PendingCall> replies_;
  std::unique_ptr<EventLoop::Timer> timer_;  // fires at the earliest deadline of replies_
  bool dispatchPosted_ = false;
  // Blocks posted to the loop reach this object only while it lives.
  std::shared_ptr<Connection*> self_ = std::make_shared<Connection*>(this);
};

}  // namespace quillbeam::platform::dbus
