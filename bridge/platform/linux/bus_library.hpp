#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string_view>

namespace quillbeam::bridge::platform {

// Every sd-bus function the backend calls.
#define QUILLBEAM_SD_BUS_FUNCTIONS(X) \
  X(sd_bus_new)                       \
  X(sd_bus_set_address)               \
  X(sd_bus_set_bus_client)            \
  X(sd_bus_start)                     \
  X(sd_bus_get_fd)                    \
  X(sd_bus_get_events)                \
  X(sd_bus_get_timeout)               \
  X(sd_bus_process)                   \
  X(sd_bus_flush)                     \
  X(sd_bus_flush_close_unref)         \
  X(sd_bus_is_open)                   \
  X(sd_bus_add_filter)                \
  X(sd_bus_add_match_async)           \
  X(sd_bus_send)                      \
  X(sd_bus_call)                      \
  X(sd_bus_call_async)                \
  X(sd_bus_slot_unref)                \
  X(sd_bus_slot_set_floating)         \
  X(sd_bus_slot_set_destroy_callback) \
  X(sd_bus_error_free)                \
  X(sd_bus_message_new_signal)        \
  X(sd_bus_message_new_method_call)   \
  X(sd_bus_message_unref)             \
  X(sd_bus_message_get_bus)           \
  X(sd_bus_message_get_error)         \
  X(sd_bus_message_get_signature)     \
  X(sd_bus_message_is_signal)         \
  X(sd_bus_message_append)            \
  X(sd_bus_message_open_container)    \
  X(sd_bus_message_close_container)   \
  X(sd_bus_message_enter_container)   \
  X(sd_bus_message_exit_container)    \
  X(sd_bus_message_read)              \
  X(sd_bus_message_read_basic)        \
  X(sd_bus_message_peek_type)         \
  X(sd_bus_message_skip)              \
  X(sd_bus_message_rewind)            \
  X(sd_bus_service_name_is_valid)     \
  X(sd_bus_interface_name_is_valid)   \
  X(sd_bus_member_name_is_valid)      \
  X(sd_bus_object_path_is_valid)

// libsystemd loaded at run time, with the sd-bus functions the backend calls, each named
// as in <systemd/sd-bus.h>. The bridge is not linked against libsystemd: loading it and
// the libraries it pulls in costs more than the rest of start-up, so it is loaded off the
// start-up path and sd-bus is reached only through this table. Immutable once loaded, so
// it may be shared between threads.
class BusLibrary {
  struct Key {
    explicit Key() = default;
  };

 public:
  static constexpr const char* kSoname = "libsystemd.so.0";

  // Loads `soname` (privately: its symbols stay out of the global scope) and resolves
  // every function. Throws std::runtime_error with the reason ("couldn't load ...") when
  // the library cannot be loaded or lacks one of them. Blocks while the dynamic linker
  // works; call it off the start-up path.
  static std::unique_ptr<const BusLibrary> load(const char* soname = kSoname);

  explicit BusLibrary(Key) {}
  BusLibrary(const BusLibrary&) = delete;
  BusLibrary& operator=(const BusLibrary&) = delete;

#define QUILLBEAM_SD_BUS_DECLARE(name) decltype(&::name) name = nullptr;
  QUILLBEAM_SD_BUS_FUNCTIONS(QUILLBEAM_SD_BUS_DECLARE)
#undef QUILLBEAM_SD_BUS_DECLARE

 private:
  struct Close {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, Close> handle_;
};

}  // namespace quillbeam::bridge::platform
