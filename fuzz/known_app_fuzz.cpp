// KnownApp decoding on arbitrary bytes.
#include "quillbeam/policy/known_app.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  if (auto app = fuzz::checkRoundTrip<KnownApp>(fuzz::asText(data, size))) {
    FUZZ_CHECK(app->id() == (app->bundleIDs.empty() ? app->name : app->bundleIDs.front()));
    FUZZ_CHECK(KnownApp::categoryFromRaw(rawValue(app->category)) == app->category);
  }
  return 0;
}
