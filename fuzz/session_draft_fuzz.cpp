// SessionDraft decoding on arbitrary bytes.
#include "quillbeam/session/session_draft.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillbeam::fuzz::checkRoundTrip<quillbeam::SessionDraft>(quillbeam::fuzz::asText(data, size));
  return 0;
}
