// Format.clock and Format.short on any double: NaN, infinities, subnormals, values beyond
// the 64-bit range. UBSan watches the conversions; the texts keep their shape.
#include <cstring>
#include <regex>

#include "quillbeam/session/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  double seconds = 0;  // the bits of a little-endian double, missing bytes zero
  std::memcpy(&seconds, data, size < sizeof seconds ? size : sizeof seconds);
  static const std::regex clock(R"([1-5]?\d:[0-5]\d|[1-9]\d*:[0-5]\d:[0-5]\d)");
  static const std::regex brief(R"(<1m|[1-5]?[1-9]m|[1-5]0m|[1-9]\d*h( ([1-5]?[1-9]|[1-5]0)m)?)");
  FUZZ_CHECK(std::regex_match(quillbeam::Format::clock(seconds), clock));
  FUZZ_CHECK(std::regex_match(quillbeam::Format::short_(seconds), brief));
  return 0;
}
