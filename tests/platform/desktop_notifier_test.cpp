// Desktop notifications against a stand-in notification server on a private dbus-daemon,
// and without one.
#include "platform/linux/desktop_notifier.hpp"

#include <systemd/sd-bus.h>

#include "loop_driver.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::runUntil;

// Owns org.freedesktop.Notifications on its own sd-bus connection, records each call and
// answers Notify with the replaced id, or a new one. The test thread pumps it.
class StandInServer {
 public:
  struct Call {
    std::string member, summary, body, desktopEntry;
    uint32_t id = 0;  // replaced, or closed
    int32_t expire = 0;
  };

  explicit StandInServer(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) throw std::runtime_error("sd_bus_new");
    bus_.reset(bus);
    sd_bus_slot* slot = nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, this) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
      throw std::runtime_error("cannot serve notifications");
    }
    slot_.reset(slot);
  }
  // The calls so far, after answering those waiting.
  const std::vector<Call>& calls() {
    while (sd_bus_process(bus_.get(), nullptr) > 0) {
    }
    return calls_;
  }

 private:
  static int notify(sd_bus_message* m, void* self, sd_bus_error*) {
    auto& server = *static_cast<StandInServer*>(self);
    const char *app, *icon, *summary, *body, *key = "", *entry = "";
    Call call{"Notify", "", "", "", 0, 0};
    int r = sd_bus_message_read(m, "susss", &app, &call.id, &icon, &summary, &body);
    if (r >= 0) r = sd_bus_message_skip(m, "as");
    if (r >= 0) r = sd_bus_message_read(m, "a{sv}", 1, &key, "s", &entry);
    if (r >= 0) r = sd_bus_message_read(m, "i", &call.expire);
    if (r < 0) return r;
    std::tie(call.summary, call.body, call.desktopEntry) = std::tuple(summary, body, entry);
    server.calls_.push_back(call);
    return sd_bus_reply_method_return(m, "u", call.id ? call.id : ++server.lastId_);
  }
  static int closeNotification(sd_bus_message* m, void* self, sd_bus_error*) {
    Call call{"CloseNotification", "", "", "", 0, 0};
    if (const int r = sd_bus_message_read(m, "u", &call.id); r < 0) return r;
    static_cast<StandInServer*>(self)->calls_.push_back(call);
    return sd_bus_reply_method_return(m, "");
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
      SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, 0), SD_BUS_VTABLE_END};

  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus_{nullptr,
                                                                    &sd_bus_flush_close_unref};
  std::unique_ptr<sd_bus_slot, decltype(&sd_bus_slot_unref)> slot_{nullptr, &sd_bus_slot_unref};
  std::vector<Call> calls_;
  uint32_t lastId_ = 40;
};

using Call = StandInServer::Call;
Call notify(std::string summary, uint32_t replaces = 0) {
  return Call{"Notify", std::move(summary), "", "", replaces, 0};
}
Call closing(uint32_t id) {
  return Call{"CloseNotification", "", "", "", id, 0};
}
bool operator==(const Call& a, const Call& b) {
  return std::tie(a.member, a.summary, a.id) == std::tie(b.member, b.summary, b.id);
}
void PrintTo(const Call& c, std::ostream* out) {
  *out << c.member << "(" << c.summary << ", " << c.id << ")";
}

class Notifier : public ::testing::Test {
 protected:
  bool served(StandInServer& server, size_t count) {
    return runUntil(loop, [&] { return server.calls().size() >= count; });
  }

  quillbeam::testing::PrivateBus bus;
  EventLoop loop;
  std::vector<std::string> log;
  SessionBus session{loop, bus.address(), [](std::string_view) {}, std::chrono::milliseconds(0)};
  DesktopNotifier notifier{session, "Quillbeam", "com.quillbeam.mac",
                           [this](std::string_view line) { log.emplace_back(line); }};
};

TEST_F(Notifier, EachKeyHasOneNotificationReplacedInPlaceAndClosedOnRequest) {
  StandInServer server(bus.address());
  // The second for "game" goes before the server has answered the first.
  notifier.show("game", {"Game paused", "bad \xff byte", "", std::chrono::seconds(5)});
  notifier.show("game", {"Game paused again", "", "", std::nullopt});
  notifier.show("chat", {"Chat paused", "", "", std::nullopt});
  ASSERT_TRUE(served(server, 3));
  notifier.close("game");
  notifier.close("never shown");
  // Closed before its id came: closed once it has.
  notifier.show("mail", {"Mail paused", "", "", std::nullopt});
  notifier.close("mail");
  ASSERT_TRUE(served(server, 6));
  const auto& calls = server.calls();
  EXPECT_THAT(
      std::vector(calls.begin(), calls.begin() + 3),
      ElementsAre(notify("Game paused"), notify("Chat paused"), notify("Game paused again", 41)));
  // "game" may still wait for its id when it is closed; "mail" certainly does.
  EXPECT_THAT(std::vector(calls.begin() + 3, calls.end()),
              ::testing::UnorderedElementsAre(closing(41), notify("Mail paused"), closing(43)));
  const auto& first = server.calls().front();
  EXPECT_EQ(std::tie(first.body, first.desktopEntry, first.expire),
            std::tuple("bad \xef\xbf\xbd byte", "com.quillbeam.mac", 5000));
  EXPECT_EQ(server.calls()[1].expire, -1);
  EXPECT_THAT(log, ::testing::IsEmpty());
}

TEST_F(Notifier, WithoutAServerItLogsOnceAndTriesAgainLater) {
  for (const char* key : {"a", "b", "c"}) notifier.show(key, {key, "", "", std::nullopt});
  ASSERT_TRUE(runUntil(loop, [&] { return !log.empty(); }));
  StandInServer server(bus.address());
  notifier.show("d", {"d", "", "", std::nullopt});
  // The bus answered our earlier calls before it passed on this one.
  ASSERT_TRUE(served(server, 1));
  EXPECT_THAT(server.calls(), ElementsAre(notify("d")));
  EXPECT_THAT(log, ElementsAre(HasSubstr("org.freedesktop.Notifications")));

  SessionBus none(loop, std::nullopt, [](std::string_view) {});
  DesktopNotifier offline(none, "Quillbeam", "", [&](std::string_view l) { log.emplace_back(l); });
  offline.show("a", {"a", "", "", std::nullopt});
  offline.show("b", {"b", "", "", std::nullopt});
  EXPECT_THAT(log, ElementsAre(::testing::_, HasSubstr("no session bus")));
}

}  // namespace
}  // namespace quillbeam::platform
