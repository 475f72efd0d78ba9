// Format.clock and Format.short on any double: NaN, infinities, subnormals, values beyond
// the 64-bit range. UBSan watches the conversions; the texts keep their shape.
#include <bit>
#include <regex>

#include "fuzz.hpp"
#include "quillbeam/session/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t bits = 0;
  for (size_t i = 0; i < size && i < 8; ++i) bits |= uint64_t{data[i]} << (8 * i);
  const double seconds = std::bit_cast<double>(bits);
  static const std::regex clock(R"([1-5]?\d:[0-5]\d|[1-9]\d*:[0-5]\d:[0-5]\d)");
  static const std::regex brief(R"(<1m|[1-5]?[1-9]m|[1-5]0m|[1-9]\d*h( ([1-5]?[1-9]|[1-5]0)m)?)");
  FUZZ_CHECK(std::regex_match(quillbeam::Format::clock(seconds), clock));
  FUZZ_CHECK(std::regex_match(quillbeam::Format::short_(seconds), brief));
  return 0;
}
