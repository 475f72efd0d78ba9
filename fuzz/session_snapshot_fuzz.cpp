// SessionSnapshot decoding on arbitrary bytes.
#include "quillbeam/session/session_snapshot.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillbeam::fuzz::checkRoundTrip<quillbeam::SessionSnapshot>(quillbeam::fuzz::asText(data, size));
  return 0;
}
