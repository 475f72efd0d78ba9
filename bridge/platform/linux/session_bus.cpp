#include "platform/linux/session_bus.hpp"

#include <string>
#include <system_error>
#include <utility>

namespace quillbeam::bridge::platform {
namespace {

std::string describe(int negativeErrno) {
  return std::generic_category().message(-negativeErrno);
}

}  // namespace

SessionBus::SessionBus(EventLoop& loop, const std::optional<std::string>& address, Log log,
                       BusLibraryLoader load, std::chrono::milliseconds loadDelay)
    : loop_(loop), log_(std::move(log)) {
  if (!address || address->empty()) {
    turnOff("DBUS_SESSION_BUS_ADDRESS is not set");
    return;
  }
  address_ = *address;
  try {
    // The loader hands over through the loop, unless connect() needs the library first.
    loader_ = std::make_unique<LibraryLoader>(
        std::move(load),
        [loop = &loop_, self = std::weak_ptr(self_)] {
          loop->post([self] {
            if (const auto bus = self.lock()) (*bus)->finishLoading(std::chrono::milliseconds(0));
          });
        },
        loadDelay);
  } catch (const std::system_error& e) {
    turnOff(std::string("couldn't start loading ") + BusLibrary::kSoname + ": " + e.what());
    return;
  }
  // The first posted work of the bridge is the browser's first message: once it has
  // been handled, the loop is about to wait again and the library may load.
  firstWork_ = loop_.beforeWait([this] {
    if (loop_.blocksRun() == 0) return;
    if (loader_) loader_->begin();
    firstWork_.reset();
  });
}

SessionBus::~SessionBus() {
  loader_.reset();
}

sd_bus* SessionBus::connect() {
  if (state_ == State::Loading) finishLoading(kLoadWait);
  return get();
}

void SessionBus::whenSettled(std::function<void(sd_bus*)> settled) {
  if (state_ == State::Loading) {
    settled_.push_back(std::move(settled));
  } else {
    settled(get());
  }
}

void SessionBus::finishLoading(std::chrono::milliseconds wait) {
  if (state_ != State::Loading) return;
  auto outcome = loader_->take(wait);
  if (!outcome) {
    // Only a wait that gives up gets here: the loop is told once the outcome is ready.
    turnOff(std::string("couldn't load ") + BusLibrary::kSoname + " in time");
    return;
  }
  // Its thread has nothing left but telling the loop.
  loader_.reset();
  firstWork_.reset();
  if (!outcome->library) {
    turnOff(outcome->error);
    return;
  }
  library_ = std::move(outcome->library);
  start();
}

void SessionBus::start() {
  const BusLibrary& lib = *library_;
  sd_bus* bus = nullptr;
  int r = lib.sd_bus_new(&bus);
  if (r < 0) {
    turnOff("couldn't create a bus connection: " + describe(r));
    return;
  }
  bus_ = BusPtr(bus, BusFlushCloseUnref{&lib});
  // sd_bus_start does not wait for the handshake: it connects the socket, queues the
  // authentication and the Hello call, and returns. The event loop completes them.
  if ((r = lib.sd_bus_set_address(bus, address_.c_str())) < 0 ||
      (r = lib.sd_bus_set_bus_client(bus, 1)) < 0 || (r = lib.sd_bus_start(bus)) < 0) {
    turnOff("couldn't connect to the session bus: " + describe(r));
    return;
  }
  sd_bus_slot* filter = nullptr;
  if ((r = lib.sd_bus_add_filter(bus, &filter, &SessionBus::onFilter, this)) < 0) {
    turnOff("couldn't watch the session bus connection: " + describe(r));
    return;
  }
  filter_ = ownSlot(lib, filter);
  try {
    binding_ = std::make_unique<BusLoopBinding>(lib, bus, loop_, [this](int error) {
      turnOff("the session bus connection failed: " + describe(error));
    });
  } catch (const std::system_error& e) {
    turnOff(std::string("couldn't attach the session bus to the main loop: ") + e.what());
    return;
  }
  state_ = State::Up;
  settle();
}

void SessionBus::settle() {
  // Taken first: a listener could (through connect) come back here.
  auto listeners = std::exchange(settled_, {});
  for (auto& settled : listeners) settled(get());
}

void SessionBus::turnOff(std::string_view reason) {
  if (state_ == State::Off) return;
  const bool wasLoading = state_ == State::Loading;
  state_ = State::Off;
  std::string line = "notifications are off: ";
  line.append(reason);
  if (log_) log_(line);
  if (wasLoading) settle();
  if (!bus_) return;
  // The connection may be in the middle of dispatching this very call, so it is let go
  // on the loop's next turn rather than here.
  loop_.post([self = std::weak_ptr(self_)] {
    if (const auto bus = self.lock()) (*bus)->release();
  });
}

void SessionBus::release() {
  binding_.reset();
  filter_.reset();
  bus_.reset();
}

int SessionBus::onFilter(sd_bus_message* message, void* self, sd_bus_error*) noexcept {
  // sd-bus synthesises this local signal when the connection ends for any reason: the
  // daemon went away, the handshake failed or timed out.
  auto* bus = static_cast<SessionBus*>(self);
  if (bus->library_->sd_bus_message_is_signal(message, "org.freedesktop.DBus.Local",
                                              "Disconnected") > 0) {
    bus->turnOff("the session bus connection closed");
  }
  return 0;
}

}  // namespace quillbeam::bridge::platform
