// NativeHostManifest decoding on arbitrary bytes, and its pretty-printed text.
#include "quillbeam/wire/native_host_manifest.hpp"

#include <string_view>
#include <vector>

#include "round_trip.hpp"

namespace {

// Whether some escape sequence in the JSON text is "\/" (pairs are walked, so an escaped
// backslash followed by a plain slash does not count).
bool escapesSlash(std::string_view text) {
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '\\') continue;
    if (text[i + 1] == '/') return true;
    ++i;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  if (auto manifest = fuzz::checkRoundTrip<NativeHostManifest>(fuzz::asText(data, size))) {
    // The file's text: sorted keys, unescaped slashes, and it reads back equal.
    const std::string text = manifest->json();
    FUZZ_CHECK(fuzz::decodeRecord<NativeHostManifest>(text) == *manifest);
    FUZZ_CHECK(!escapesSlash(text));
    std::vector<std::string> keys;
    const auto written = json::Ordered::parse(text);
    for (const auto& item : written.items()) keys.push_back(item.key());
    const std::vector<std::string> sorted{"allowed_origins", "description", "name", "path", "type"};
    FUZZ_CHECK(keys == sorted);
  }
  return 0;
}
