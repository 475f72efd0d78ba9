#include "support/bus_listener.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

namespace quillbeam::testing {
namespace {

std::runtime_error failure(const std::string& what, int negativeErrno, const sd_bus_error* error) {
  std::string text = "bus listener: " + what + ": ";
  text +=
      (error && error->message) ? error->message : std::generic_category().message(-negativeErrno);
  return std::runtime_error(text);
}

uint64_t monotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// The "json" text of an a{sv} body, if there is one.
std::optional<std::string> jsonEntry(sd_bus_message* message) {
  std::optional<std::string> json;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return json;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read_basic(message, 's', &key) < 0) break;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, nullptr, &contents) < 0) break;
    if (std::string_view(key) == "json" && contents && std::string_view(contents) == "s") {
      const char* text = nullptr;
      if (sd_bus_message_read(message, "v", "s", &text) < 0) break;
      json = text;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      break;
    }
    sd_bus_message_exit_container(message);
  }
  return json;
}

}  // namespace

SignalRoute SignalRoute::of(std::string_view notificationName) {
  const auto dot = notificationName.rfind('.');
  SignalRoute route;
  route.interface = std::string(notificationName.substr(0, dot));
  route.member = std::string(notificationName.substr(dot + 1));
  route.path = "/" + route.interface;
  for (char& c : route.path) {
    if (c == '.') c = '/';
  }
  return route;
}

BusListener::Fd::~Fd() {
  if (fd >= 0) close(fd);
}

BusListener::BusListener(const std::string& address)
    : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_.fd < 0) throw failure("eventfd", -errno, nullptr);
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) throw failure("sd_bus_new", r, nullptr);
  bus_.reset(bus);
  if ((r = sd_bus_set_address(bus, address.c_str())) < 0 ||
      (r = sd_bus_set_bus_client(bus, 1)) < 0 || (r = sd_bus_start(bus)) < 0) {
    throw failure("connect to " + address, r, nullptr);
  }
  // Complete the handshake now so uniqueName() and matches work at once.
  sd_bus_error error{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL is a C compound literal
  r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetId", &error, nullptr, "");
  if (r < 0) {
    auto e = failure("handshake", r, &error);
    sd_bus_error_free(&error);
    throw e;
  }
  thread_ = std::thread([this] { serve(); });
}

BusListener::~BusListener() {
  {
    std::lock_guard lock(busLock_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  std::lock_guard lock(busLock_);
  slots_.clear();
  bus_.reset();
}

void BusListener::wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_.fd, &one, sizeof one);
}

void BusListener::serve() {
  for (;;) {
    pollfd fds[2] = {{wakeFd_.fd, POLLIN, 0}, {-1, 0, 0}};
    int timeoutMs = 100;
    {
      std::lock_guard lock(busLock_);
      if (stopping_) return;
      int r = 0;
      while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (r >= 0) {
        fds[1].fd = sd_bus_get_fd(bus_.get());
        const int events = sd_bus_get_events(bus_.get());
        fds[1].events = static_cast<short>(events > 0 ? events : 0);
        uint64_t until = 0;
        if (sd_bus_get_timeout(bus_.get(), &until) > 0 && until != UINT64_MAX) {
          const uint64_t now = monotonicUsec();
          const uint64_t left = until > now ? (until - now + 999) / 1000 : 0;
          if (left < static_cast<uint64_t>(timeoutMs)) timeoutMs = static_cast<int>(left);
        }
      }
    }
    poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs);
    uint64_t drained = 0;
    [[maybe_unused]] const ssize_t n = read(wakeFd_.fd, &drained, sizeof drained);
  }
}

int BusListener::onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* listener = static_cast<BusListener*>(self);
  auto text = [](const char* s) { return std::string(s ? s : ""); };
  ReceivedSignal signal{
      text(sd_bus_message_get_sender(message)),       text(sd_bus_message_get_path(message)),
      text(sd_bus_message_get_interface(message)),    text(sd_bus_message_get_member(message)),
      text(sd_bus_message_get_signature(message, 1)), std::nullopt};
  if (signal.signature == "a{sv}") signal.json = jsonEntry(message);
  {
    std::lock_guard lock(listener->dataLock_);
    listener->received_.push_back(std::move(signal));
  }
  listener->arrived_.notify_all();
  return 0;
}

void BusListener::subscribe(std::string_view interface, std::string_view member) {
  const std::string rule = "type='signal',interface='" + std::string(interface) + "',member='" +
                           std::string(member) + "'";
  std::lock_guard lock(busLock_);
  sd_bus_slot* slot = nullptr;
  // The synchronous form waits for the daemon's reply, so the match is live on return.
  const int r = sd_bus_add_match(bus_.get(), &slot, rule.c_str(), &BusListener::onSignal, this);
  if (r < 0) throw failure("add match " + rule, r, nullptr);
  slots_.emplace_back(slot);
}

void BusListener::subscribe(std::string_view notificationName) {
  const auto route = SignalRoute::of(notificationName);
  subscribe(route.interface, route.member);
}

std::vector<ReceivedSignal> BusListener::received() const {
  std::lock_guard lock(dataLock_);
  return received_;
}

bool BusListener::waitForCount(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(dataLock_);
  return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

void BusListener::emit(std::string_view notificationName,
                       const std::optional<std::map<std::string, std::string>>& entries) {
  emitRaw(SignalRoute::of(notificationName), [&](sd_bus_message* m) {
    if (!entries) return 0;
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [key, value] : *entries) {
      if (r >= 0) r = sd_bus_message_append(m, "{sv}", key.c_str(), "s", value.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
  });
}

void BusListener::emitRaw(const SignalRoute& route,
                          const std::function<int(sd_bus_message*)>& writeBody) {
  {
    std::lock_guard lock(busLock_);
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus_.get(), &raw, route.path.c_str(), route.interface.c_str(),
                                      route.member.c_str());
    if (r < 0) throw failure("new signal", r, nullptr);
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> message(raw,
                                                                             &sd_bus_message_unref);
    if ((r = writeBody(raw)) < 0) throw failure("signal body", r, nullptr);
    if ((r = sd_bus_send(bus_.get(), raw, nullptr)) < 0) throw failure("send", r, nullptr);
    if ((r = sd_bus_flush(bus_.get())) < 0) throw failure("flush", r, nullptr);
  }
  wake();
}

void BusListener::requestName(std::string_view name) {
  std::lock_guard lock(busLock_);
  const int r = sd_bus_request_name(bus_.get(), std::string(name).c_str(), 0);
  if (r < 0) throw failure("request name " + std::string(name), r, nullptr);
}

void BusListener::releaseName(std::string_view name) {
  std::lock_guard lock(busLock_);
  const int r = sd_bus_release_name(bus_.get(), std::string(name).c_str());
  if (r < 0) throw failure("release name " + std::string(name), r, nullptr);
}

std::string BusListener::uniqueName() const {
  std::lock_guard lock(busLock_);
  const char* name = nullptr;
  if (sd_bus_get_unique_name(bus_.get(), &name) < 0 || !name) return {};
  return name;
}

}  // namespace quillbeam::testing
