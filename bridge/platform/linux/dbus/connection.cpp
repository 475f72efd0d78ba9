#include "platform/linux/dbus/connection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/linux/dbus/address.hpp"

namespace quillbeam::bridge::platform::dbus {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// Bytes read per loop turn, so a flood from the bus cannot starve the browser's messages.
constexpr size_t kReadBudget = 1024 * 1024;
constexpr size_t kMaxHandshakeLine = 512;
// Output written at once when a turn has queued this much.
constexpr size_t kWriteBatch = 64 * 1024;
// Buffers larger than this are freed once empty.
constexpr size_t kKeptBuffer = 256 * 1024;
// Connecting to a local socket is immediate unless its daemon is stuck; then we give up.
constexpr time_t kConnectTimeoutSeconds = 1;

const std::string kClosedReason = "the session bus connection closed";

std::string errnoText(int error) {
  return std::generic_category().message(error);
}

// Connects a blocking socket (bounded by a send timeout), then makes it non-blocking.
UniqueFd connectTo(const SocketEndpoint& endpoint, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = endpoint.abstract ? 1 : 0;
  // A file path needs room for its terminating NUL; an abstract name has none.
  if (endpoint.name.size() + offset + (endpoint.abstract ? 0 : 1) > sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return UniqueFd();
  }
  std::memcpy(address.sun_path + offset, endpoint.name.data(), endpoint.name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                             endpoint.name.size() + (endpoint.abstract ? 0 : 1));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errno;
    return fd;
  }
  timeval timeout{kConnectTimeoutSeconds, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int r = 0;
  while ((r = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length)) < 0 &&
         errno == EINTR) {
  }
  if (r < 0) {
    error = errno;
    return UniqueFd();
  }
  timeout = timeval{0, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const int flags = fcntl(fd.get(), F_GETFL);
  fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
  return fd;
}

std::string hex(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[static_cast<unsigned char>(c) & 0xf]);
  }
  return out;
}

}  // namespace

Connection::Connection(EventLoop& loop, std::string_view address, Closed closed)
    : loop_(loop), onClosed_(std::move(closed)) {
  auto endpoints = socketEndpoints(address);
  if (auto* problem = std::get_if<std::string>(&endpoints)) {
    throw std::runtime_error("couldn't connect to the session bus: " + *problem);
  }
  endpoints_ = std::move(std::get<std::vector<SocketEndpoint>>(endpoints));
  // The credentials travel with the socket; the daemon checks them against this uid.
  // Everything up to our first message is pipelined: the daemon handles it in order.
  output_.push_back('\0');
  output_ += "AUTH EXTERNAL " + hex(std::to_string(::getuid())) + "\r\nBEGIN\r\n";
  call(Message::busCall("Hello"), [self = std::weak_ptr(self_)](const Message& reply) {
    const auto connection = self.lock();
    if (connection && reply.type == MessageType::Error) {
      (*connection)->close("the session bus refused us: " + reply.errorName);
    }
  });
}

void Connection::start() {
  if (started_ || closed_) return;
  started_ = true;
  int error = 0;
  for (const auto& endpoint : endpoints_) {
    socket_ = connectTo(endpoint, error);
    if (socket_) break;
  }
  if (!socket_) {
    close("couldn't connect to the session bus: " + errnoText(error));
    return;
  }
  watch_ = loop_.watch(socket_.get(), EPOLLIN | EPOLLOUT, [this](uint32_t events) {
    if (events & EPOLLOUT) writeSome();
    if (isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) readSome(kReadBudget);
    dispatch();
  });
  // What was queued during a turn leaves in one write before the loop waits: a burst of
  // messages costs one system call and one wake-up of the daemon, not one each.
  beforeWait_ = loop_.beforeWait([this] { writeSome(); });
  writeSome();
}

Connection::~Connection() {
  beforeWait_.reset();
  watch_.reset();
}

uint32_t Connection::queue(Message& message) {
  if (output_.size() - outputStart_ > kMaxPendingOutput) {
    close("the session bus stopped reading from us");
    return 0;
  }
  if (++lastSerial_ == 0) ++lastSerial_;
  message.serial = lastSerial_;
  output_ += encode(message);
  // A long turn writes as it goes, so the batch stays small.
  if (output_.size() - outputStart_ >= kWriteBatch) writeSome();
  return message.serial;
}

void Connection::send(Message message) {
  if (!isOpen()) return;
  confirmed_ = false;
  queue(message);
}

void Connection::call(Message message, Handler reply) {
  const uint32_t serial = isOpen() ? queue(message) : 0;
  if (serial == 0) {
    loop_.post([reply = std::move(reply)] { reply(disconnectedReply(0)); });
    return;
  }
  confirmed_ = false;
  replies_.emplace(serial, std::move(reply));
}

std::optional<Message> Connection::callAndWait(Message message, std::chrono::milliseconds timeout) {
  start();
  const uint32_t serial = isOpen() ? queue(message) : 0;
  if (serial == 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<Message> reply;
  size_t seen = inbox_.size();
  while (isOpen() && !reply) {
    writeSome();
    if (!isOpen()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd wanted{socket_.get(), POLLIN, 0};
    if (outputStart_ < output_.size()) wanted.events |= POLLOUT;
    const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (wanted.revents & (POLLIN | POLLHUP | POLLERR)) readSome(kReadBudget);
    for (size_t i = seen; i < inbox_.size(); ++i) {
      if (inbox_[i].replySerial == serial && inbox_[i].type != MessageType::MethodCall &&
          inbox_[i].type != MessageType::Signal) {
        reply = std::move(inbox_[i]);
        inbox_.erase(inbox_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    seen = inbox_.size();
  }
  // The daemon has taken everything sent before the call.
  if (reply) confirmed_ = true;
  // Nothing may be left unread on the socket's behalf: the loop only wakes for new bytes.
  if (!inbox_.empty()) dispatchLater();
  return reply;
}

void Connection::flush(std::chrono::milliseconds timeout) {
  // Written is not enough: a daemon that sees us leave before it has read our handshake
  // drops everything behind it. It handles a connection's messages in order, so its reply
  // to a call made now proves everything before has been taken.
  start();
  if (isOpen() && !confirmed_) {
    callAndWait(Message::busCall("GetId"), timeout);
  }
}

void Connection::writeSome() {
  if (!socket_) return;
  while (isOpen() && outputStart_ < output_.size()) {
    const ssize_t n = ::send(socket_.get(), output_.data() + outputStart_,
                             output_.size() - outputStart_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      close(kClosedReason);
      return;
    }
    outputStart_ += static_cast<size_t>(n);
  }
  if (outputStart_ == output_.size()) {
    // A buffer that once held a backlog is given back rather than kept for good.
    if (output_.capacity() > kKeptBuffer) {
      std::string().swap(output_);
    } else {
      output_.clear();
    }
    outputStart_ = 0;
  } else if (outputStart_ > output_.size() / 2) {
    output_.erase(0, outputStart_);
    outputStart_ = 0;
  }
  updateInterest();
}

void Connection::readSome(size_t budget) {
  while (isOpen() && budget > 0) {
    const size_t had = input_.size();
    input_.resize(had + kReadChunk);
    const ssize_t n = ::recv(socket_.get(), input_.data() + had, kReadChunk, MSG_DONTWAIT);
    input_.resize(had + static_cast<size_t>(n > 0 ? n : 0));
    if (n == 0) {
      close(kClosedReason);
      return;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) close(kClosedReason);
      break;
    }
    budget -= std::min(budget, static_cast<size_t>(n));
    if (!authenticated_) takeHandshakeReply();
    if (authenticated_) takeMessages();
  }
  if (inputStart_ == input_.size()) {
    if (input_.capacity() > kKeptBuffer) {
      std::string().swap(input_);
    } else {
      input_.clear();
    }
    inputStart_ = 0;
  } else if (inputStart_ > 0) {
    input_.erase(0, inputStart_);
    inputStart_ = 0;
  }
}

void Connection::takeHandshakeReply() {
  const std::string_view pending = std::string_view(input_).substr(inputStart_);
  const size_t end = pending.find("\r\n");
  if (end == std::string_view::npos) {
    if (pending.size() > kMaxHandshakeLine) close("the session bus sent something we cannot read");
    return;
  }
  if (pending.substr(0, 3) != "OK ") {
    close("the session bus refused our credentials");
    return;
  }
  inputStart_ += end + 2;
  authenticated_ = true;
}

void Connection::takeMessages() {
  while (isOpen()) {
    std::string_view pending = std::string_view(input_).substr(inputStart_);
    if (skipping_ > 0) {
      const size_t dropped = std::min(skipping_, pending.size());
      skipping_ -= dropped;
      inputStart_ += dropped;
      if (skipping_ > 0) return;
      pending = pending.substr(dropped);
    }
    if (pending.size() < kMessagePrefixLength) return;
    try {
      const size_t length = messageLength(pending);
      if (length > kMaxIncomingMessage) {
        skipping_ = length;
        continue;
      }
      if (pending.size() < length) {
        input_.reserve(inputStart_ + length);
        return;
      }
      Message message = decode(pending.substr(0, length));
      inputStart_ += length;
      inbox_.push_back(std::move(message));
    } catch (const ProtocolError& e) {
      close(std::string("the session bus sent something we cannot read: ") + e.what());
      return;
    }
  }
}

void Connection::dispatch() {
  while (isOpen() && !inbox_.empty()) {
    Message message = std::move(inbox_.front());
    inbox_.pop_front();
    handle(message);
  }
}

void Connection::handle(const Message& message) {
  switch (message.type) {
    case MessageType::MethodReturn:
    case MessageType::Error: {
      const auto found = replies_.find(*message.replySerial);
      if (found == replies_.end()) return;
      Handler reply = std::move(found->second);
      replies_.erase(found);
      reply(message);
      return;
    }
    case MessageType::Signal:
      if (signal_) signal_(message);
      return;
    case MessageType::MethodCall: {
      // We offer no objects; a caller waiting for an answer gets a plain refusal.
      if (message.flags & Message::kNoReplyExpected || message.sender.empty()) return;
      Message refusal;
      refusal.type = MessageType::Error;
      refusal.flags = Message::kNoReplyExpected;
      refusal.replySerial = message.serial;
      refusal.destination = message.sender;
      refusal.errorName = "org.freedesktop.DBus.Error.UnknownObject";
      send(std::move(refusal));
      return;
    }
  }
}

void Connection::dispatchLater() {
  if (dispatchPosted_) return;
  dispatchPosted_ = true;
  loop_.post([self = std::weak_ptr(self_)] {
    if (const auto connection = self.lock()) {
      (*connection)->dispatchPosted_ = false;
      (*connection)->dispatch();
    }
  });
}

void Connection::updateInterest() {
  if (watch_) {
    uint32_t events = EPOLLIN;
    if (outputStart_ < output_.size()) events |= EPOLLOUT;
    watch_->setEvents(events);
  }
}

void Connection::close(std::string_view reason) {
  if (closed_) return;
  closed_ = true;
  beforeWait_.reset();
  watch_.reset();
  socket_.reset();
  output_.clear();
  outputStart_ = 0;
  input_.clear();
  inputStart_ = 0;
  inbox_.clear();
  // Every call still waiting hears that it will not be answered.
  for (auto& [serial, reply] : std::exchange(replies_, {})) {
    loop_.post([reply = std::move(reply), serial = serial] { reply(disconnectedReply(serial)); });
  }
  onClosed_(reason);
}

Message Connection::disconnectedReply(uint32_t serial) {
  static const std::string body = [] {
    std::string text;
    Writer(text).string(kClosedReason);
    return text;
  }();
  Message reply;
  reply.type = MessageType::Error;
  reply.replySerial = serial;
  reply.errorName = kDisconnectedError;
  // Moved in: assigning the literal trips a false -Wrestrict in g++ 12 at -O3.
  reply.signature = std::string(1, 's');
  reply.body = body;
  return reply;
}

}  // namespace quillbeam::bridge::platform::dbus
