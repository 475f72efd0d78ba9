// A stand-in app for tests: owns a well-known name on the bus that started it (or the
// session bus) until that bus goes away or it is terminated.
//
//   quillbeam_test_bus_name_owner <name> [<marker file>]
//
// The marker is written before the name is taken, so whoever sees the name owned (or an
// activation succeed) also sees the marker.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* address = std::getenv("DBUS_STARTER_ADDRESS");
  if (!address || !*address) address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  sd_bus* bus = nullptr;
  if (!address || sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
    return 1;
  }
  if (argc >= 3) std::ofstream(argv[2], std::ios::trunc) << "pid=" << getpid() << "\n";
  if (sd_bus_request_name(bus, argv[1], 0) < 0) return 1;
  // Default SIGTERM handling ends the process; the loop ends when the bus closes.
  for (int r = 0; r >= 0;) {
    r = sd_bus_process(bus, nullptr);
    if (r == 0) r = sd_bus_wait(bus, UINT64_MAX);
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
