// CompanionSettings decoding on arbitrary bytes.
#include "quillbeam/policy/companion_settings.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  if (auto settings = fuzz::checkRoundTrip<CompanionSettings>(fuzz::asText(data, size))) {
    // The queries take any decoded value.
    for (const auto& app : settings->blockedApps) FUZZ_CHECK(settings->isBlocked(app.bundleID));
    const auto ids = settings->studyBrowserIDs();
    FUZZ_CHECK(!ids.empty());
  }
  return 0;
}
