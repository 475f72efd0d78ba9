// A stand-in desktop notification server for tests: owns org.freedesktop.Notifications on
// the session bus and writes one line per call to a file, so a test can read what the
// user would have been told.
//
//   quillbeam_test_notification_server <record file>
//
// Lines: "notify<TAB>app<TAB>replaces_id<TAB>id<TAB>summary<TAB>body" and "close<TAB>id"
// (tabs and newlines inside a field become spaces). The record is written before the name
// is taken, so whoever sees the name owned finds the file.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

FILE* record = nullptr;
uint32_t lastId = 0;

std::string field(const char* text) {
  std::string out = text ? text : "";
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
  return out;
}

int notify(sd_bus_message* call, void*, sd_bus_error*) {
  const char *app, *icon, *summary, *body;
  uint32_t replaces;
  int r = sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
  if (r < 0) return r;
  r = sd_bus_message_skip(call, "asa{sv}i");
  if (r < 0) return r;
  const uint32_t id = replaces != 0 ? replaces : ++lastId;
  std::fprintf(record, "notify\t%s\t%u\t%u\t%s\t%s\n", field(app).c_str(), replaces, id,
               field(summary).c_str(), field(body).c_str());
  std::fflush(record);
  return sd_bus_reply_method_return(call, "u", id);
}

int closeNotification(sd_bus_message* call, void*, sd_bus_error*) {
  uint32_t id;
  const int r = sd_bus_message_read(call, "u", &id);
  if (r < 0) return r;
  std::fprintf(record, "close\t%u\n", id);
  std::fflush(record);
  return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  record = argc == 2 ? std::fopen(argv[1], "a") : nullptr;
  if (!record) return 1;
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0 ||
      sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", kVtable, nullptr) < 0 ||
      sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
    return 1;
  }
  // Default SIGTERM handling ends the process; the loop ends when the bus closes.
  for (int r = 0; r >= 0;) {
    r = sd_bus_process(bus, nullptr);
    if (r == 0) r = sd_bus_wait(bus, UINT64_MAX);
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
