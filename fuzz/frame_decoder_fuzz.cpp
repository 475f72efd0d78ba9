// The frame decoder on a stream and chunk boundaries that the fuzzer picks, checked against
// the framing rules read straight off the whole stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <optional>

#include "quillbeam/wire/native_messaging.hpp"

namespace nm = quillbeam::NativeMessaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Whole frames and raw bytes, which can be anything else; the fuzzer finds the lengths
  // near the limit from the decoder's comparisons.
  std::string stream;
  for (int i = in.ConsumeIntegralInRange<int>(0, 24); i > 0 && in.remaining_bytes() > 0; --i) {
    stream += in.ConsumeBool() ? nm::frame(in.ConsumeRandomLengthString(512))
                               : in.ConsumeRandomLengthString(16);
  }

  std::vector<std::string> frames;  // frames follow each other up to a bad or cut header
  std::optional<uint32_t> bad;
  for (size_t at = 0; stream.size() - at >= 4;) {
    uint32_t length;  // the host is little-endian, like the header
    std::memcpy(&length, stream.data() + at, 4);
    if (length > nm::maxIncoming) bad = length;
    if (bad || stream.size() - at - 4 < length) break;
    frames.push_back(stream.substr(at + 4, length));
    at += 4 + length;
  }

  nm::Decoder decoder;
  std::vector<quillbeam::ByteString> got;
  for (size_t fed = 0, n; fed < stream.size(); fed += n) {
    n = in.remaining_bytes() ? in.ConsumeIntegralInRange<size_t>(0, stream.size() - fed)
                             : stream.size() - fed;
    const size_t before = got.size();
    try {
      decoder.appendTo(std::string_view(stream).substr(fed, n), got);  // append() wraps this
    } catch (const nm::FramingError& e) {
      // Only a call that hands out nothing throws, and always with the bad length.
      FUZZ_CHECK(got.size() == before && bad && e.length() == *bad);
    }
  }
  FUZZ_CHECK(got == frames);
  FUZZ_CHECK(decoder.failure() ? bad && decoder.failure()->length() == *bad : !bad);
  return 0;
}
