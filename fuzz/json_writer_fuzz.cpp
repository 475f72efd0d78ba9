// The straight-to-text JSON writer on any bytes and numbers: for valid UTF-8 it writes what
// nlohmann writes for the same document, byte for byte, and whatever it writes parses.
#include <fuzzer/FuzzedDataProvider.h>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"  // compact()
#include "quillbeam/json/utf8.hpp"

namespace json = quillbeam::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int64_t number = in.ConsumeIntegral<int64_t>();
  const std::string key = in.ConsumeRandomLengthString(16);
  const std::string text = in.ConsumeRemainingBytesAsString();
  std::string out;
  json::Writer w(out);
  w.beginArray();
  w.value(std::vector<std::string>{text, key});
  w.value(number);
  w.endArray();
  // Invalid UTF-8 comes out as U+FFFD, one per byte where nlohmann writes one per cut
  // sequence; the text parses all the same.
  const bool valid = json::isValidUtf8(key) && json::isValidUtf8(text);
  FUZZ_CHECK(valid ? out == json::compact({{text, key}, number}) : json::parse(out).size() == 2);
  return 0;
}
