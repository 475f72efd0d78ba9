// The pause record, which a crashed companion leaves for the next to resume from: a list
// of paused apps, each with its target. A record that reads, written as the companion
// writes it, reads back equal; one entry and one target alone are held to round_trip.hpp.
#include <vector>

#include "companion/pause_record.hpp"
#include "round_trip.hpp"

using namespace quillbeam;
using companion::PausedApp;

static std::vector<PausedApp> readRecord(std::string_view text) {
  return json::readAs<std::vector<PausedApp>>(json::parse(text), "paused");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto apps = attempt(readRecord, text)) {
    json::Ordered out = json::Ordered::array();
    for (const PausedApp& app : *apps) out.push_back(app.toJson());
    FUZZ_CHECK(readRecord(json::compact(out)) == *apps);
  }
  roundTrip<PausedApp>(text);
  roundTrip<companion::ShieldTarget>(text);
  return 0;
}
