// A stand-in app for tests: connects to the session bus it was started for, owns a
// well-known name and serves until the bus goes away or it is terminated.
//
//   quillbeam_test_bus_name_owner <name> [<marker file>]
//
// The marker is written before the name is taken, so whoever sees the name owned (or an
// activation succeed) also sees the marker.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <name> [<marker file>]\n", argv[0]);
    return 2;
  }
  // D-Bus activation sets DBUS_STARTER_ADDRESS to the bus that asked for us.
  const char* address = std::getenv("DBUS_STARTER_ADDRESS");
  if (!address || !*address) address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!address || !*address) {
    std::fprintf(stderr, "bus name owner: no bus address\n");
    return 1;
  }
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return 1;
  std::unique_ptr<sd_bus, BusClose> bus(raw);
  if (sd_bus_set_address(raw, address) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_start(raw) < 0) {
    std::fprintf(stderr, "bus name owner: cannot connect to %s\n", address);
    return 1;
  }
  if (argc >= 3) {
    std::ofstream marker(argv[2], std::ios::trunc);
    marker << "pid=" << getpid() << "\n";
  }
  if (int r = sd_bus_request_name(raw, argv[1], 0); r < 0) {
    std::fprintf(stderr, "bus name owner: cannot own %s (%d)\n", argv[1], r);
    return 1;
  }
  // Default SIGTERM handling ends the process; the loop ends when the bus closes.
  for (;;) {
    int r = sd_bus_process(raw, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if (sd_bus_wait(raw, UINT64_MAX) < 0) break;
  }
  return 0;
}
