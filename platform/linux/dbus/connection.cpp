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
#include "platform/linux/dbus/names.hpp"
#include "platform/linux/dbus/peer.hpp"

namespace quillbeam::platform::dbus {
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
// Descriptors one read can carry: the kernel's limit for one message.
constexpr size_t kMaxPassedDescriptors = 253;

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

}  // namespace

Connection::Connection(EventLoop& loop, std::string_view address, Closed closed)
    : loop_(loop), onClosed_(std::move(closed)) {
  auto endpoints = socketEndpoints(address);
  if (auto* problem = std::get_if<std::string>(&endpoints)) {
    throw std::runtime_error("couldn't connect to the session bus: " + *problem);
  }
  endpoints_ = std::move(std::get<std::vector<SocketEndpoint>>(endpoints));
  // Without an identity the bus takes the credentials the socket carries, which is right
  // also where our uid is not the bus's idea of it (inside a user namespace).
  output_ = std::string(1, '\0') + "AUTH EXTERNAL\r\n";
  try {
    timer_ = loop_.timer(EventLoop::Clock::monotonic, [this] { expireCalls(); });
  } catch (const std::system_error&) {
    throw std::runtime_error("couldn't connect to the session bus: no timer");
  }
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
  timer_.reset();
}

uint32_t Connection::queue(Message& message) {
  if (output_.size() - outputStart_ + held_.size() > kMaxPendingOutput) {
    close("the session bus stopped reading from us");
    return 0;
  }
  if (++lastSerial_ == 0) ++lastSerial_;
  message.serial = lastSerial_;
  if (handshake_ != Handshake::Done) {
    held_ += encode(message);
    return message.serial;
  }
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

void Connection::reply(const Message& call, Message reply) {
  // Without a sender there is nobody to answer (only a peer without a bus sends so).
  if ((call.flags & Message::kNoReplyExpected) || call.sender.empty()) return;
  send(std::move(reply));
}

void Connection::call(Message message, Handler reply,
                      std::optional<std::chrono::milliseconds> timeout) {
  const uint32_t serial = isOpen() ? queue(message) : 0;
  if (serial == 0) {
    loop_.post([reply = std::move(reply)] { reply(disconnectedReply(0)); });
    return;
  }
  confirmed_ = false;
  PendingCall pending{std::move(reply), std::nullopt};
  if (timeout) pending.deadline = std::chrono::steady_clock::now() + *timeout;
  replies_.emplace(serial, std::move(pending));
  if (timeout) armTimer();
}

void Connection::expireCalls() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::pair<uint32_t, PendingCall>> expired;
  for (auto it = replies_.begin(); it != replies_.end();) {
    if (it->second.deadline && *it->second.deadline <= now) {
      expired.emplace_back(it->first, std::move(it->second));
      it = replies_.erase(it);
    } else {
      ++it;
    }
  }
  armTimer();
  for (auto& [serial, pending] : expired) {
    pending.reply(localError(serial, kNoReplyError, "the session bus did not answer in time"));
  }
}

void Connection::armTimer() {
  std::optional<std::chrono::steady_clock::time_point> earliest;
  for (const auto& [serial, pending] : replies_) {
    if (pending.deadline && (!earliest || *pending.deadline < *earliest))
      earliest = pending.deadline;
  }
  // steady_clock is the loop's monotonic clock.
  if (earliest) {
    timer_->onceAt(earliest->time_since_epoch());
  } else {
    timer_->cancel();
  }
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
    iovec data{input_.data() + had, kReadChunk};
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxPassedDescriptors * sizeof(int))];
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket_.get(), &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    input_.resize(had + static_cast<size_t>(n > 0 ? n : 0));
    // Passed descriptors are not ours to keep: each would stay open for good otherwise.
    // (Those that did not fit the buffer the kernel has already closed.)
    for (cmsghdr* c = n >= 0 ? CMSG_FIRSTHDR(&header) : nullptr; c; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        ::close(fd);
      }
    }
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
    if (handshake_ != Handshake::Done) takeHandshakeReply();
    if (handshake_ == Handshake::Done) takeMessages();
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
  while (isOpen() && handshake_ != Handshake::Done) {
    const std::string_view pending = std::string_view(input_).substr(inputStart_);
    const size_t end = pending.find("\r\n");
    if (end == std::string_view::npos) {
      if (pending.size() > kMaxHandshakeLine) {
        close("the session bus sent something we cannot read");
      }
      return;
    }
    const std::string_view line = pending.substr(0, end);
    inputStart_ += end + 2;
    if (handshake_ == Handshake::Authenticating) {
      if (line == "DATA" || line.starts_with("DATA ")) {
        // The bus asks for the identity we left out: an empty one, the credentials then.
        output_ += "DATA\r\n";
      } else if (line.starts_with("OK ")) {
        output_ += "NEGOTIATE_UNIX_FD\r\n";
        handshake_ = Handshake::Negotiating;
      } else {
        close("the session bus refused our credentials");
        return;
      }
    } else {
      // AGREE_UNIX_FD, or an ERROR from a bus that passes none: either way we begin.
      if (line != "AGREE_UNIX_FD" && !line.starts_with("ERROR")) {
        close("the session bus sent something we cannot read");
        return;
      }
      output_ += "BEGIN\r\n";
      output_ += held_;
      std::string().swap(held_);
      handshake_ = Handshake::Done;
    }
    writeSome();
  }
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
      Handler reply = std::move(found->second.reply);
      const bool timed = found->second.deadline.has_value();
      replies_.erase(found);
      if (timed) armTimer();
      reply(message);
      return;
    }
    case MessageType::Signal:
      names_.take(message);
      if (signal_) signal_(message);
      return;
    case MessageType::MethodCall: {
      if (auto answer = peerReply(message)) {
        reply(message, std::move(*answer));
        return;
      }
      // A copy: the handler may replace itself, or go away, while it runs.
      if (const MethodHandler handler = methodCall_; handler && handler(message)) return;
      reply(message, Message::errorFor(message, "org.freedesktop.DBus.Error.UnknownObject",
                                       "Unknown object '" + toValidText(message.path) + "'."));
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
  held_.clear();
  timer_->cancel();
  names_.closed();
  // Every call still waiting hears that it will not be answered.
  for (auto& [serial, pending] : std::exchange(replies_, {})) {
    loop_.post(
        [reply = std::move(pending.reply), serial = serial] { reply(disconnectedReply(serial)); });
  }
  onClosed_(reason);
}

Message Connection::localError(uint32_t serial, const char* name, const std::string& text) {
  Message reply;
  reply.type = MessageType::Error;
  reply.replySerial = serial;
  reply.errorName = name;
  // Moved in: assigning the literal trips a false -Wrestrict in g++ 12 at -O3.
  reply.signature = std::string(1, 's');
  Writer(reply.body).string(text);
  return reply;
}

Message Connection::disconnectedReply(uint32_t serial) {
  return localError(serial, kDisconnectedError, kClosedReason);
}

}  // namespace quillbeam::platform::dbus
