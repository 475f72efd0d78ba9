// The overrides file, which the companion rewrites and reads back at its next start: held
// to round_trip.hpp.
#include "companion/overrides.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  roundTrip<quillbeam::companion::Overrides>({reinterpret_cast<const char*>(data), size});
  return 0;
}
