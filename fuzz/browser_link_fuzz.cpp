// BrowserLink decoding on arbitrary bytes: what the companion app and a starting bridge
// read from browser-link.json, which any process of the user may have written.
#include "quillbeam/session/browser_link.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  if (auto link = fuzz::checkRoundTrip<BrowserLink>(fuzz::asText(data, size))) {
    // encode() is the file's text: it reads back as the same record.
    FUZZ_CHECK(BrowserLink::fromJson(json::parse(link->encode())) == *link);
  }
  return 0;
}
