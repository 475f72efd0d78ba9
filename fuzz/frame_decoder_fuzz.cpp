// The frame decoder on a stream and chunk boundaries that the fuzzer picks, checked after
// every chunk against a plain reading of the framing rules over the whole stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace {

namespace nm = quillbeam::NativeMessaging;

std::string header(uint32_t length) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xffu);
  return out;
}

// The stream is built from pieces so that whole frames, lengths at the limit and bad
// headers are all common, while raw bytes still let anything else happen.
std::string makeStream(FuzzedDataProvider& in) {
  std::string stream;
  const int pieces = in.ConsumeIntegralInRange<int>(0, 24);
  for (int i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const std::string payload = in.ConsumeRandomLengthString(512);
        stream += header(static_cast<uint32_t>(payload.size())) + payload;
        break;
      }
      case 1:
        stream += in.ConsumeRandomLengthString(16);
        break;
      case 2:  // Around the incoming limit: accepted up to it, refused above.
        stream +=
            header(static_cast<uint32_t>(nm::maxIncoming + in.ConsumeIntegralInRange<int>(-2, 2)));
        break;
      default:
        stream += header(in.ConsumeIntegral<uint32_t>());
        break;
    }
  }
  return stream;
}

// The framing rules read straight off the whole stream.
struct Reference {
  struct Frame {
    size_t begin;  // of the payload
    size_t end;
  };
  std::vector<Frame> frames;
  std::optional<size_t> badAt;  // offset of the first header above the limit
  uint32_t badLength = 0;

  explicit Reference(const std::string& s) {
    size_t at = 0;
    while (s.size() - at >= 4) {
      uint32_t length = 0;
      for (int i = 0; i < 4; ++i) {
        length |= static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
      }
      if (length > nm::maxIncoming) {
        badAt = at;
        badLength = length;
        return;
      }
      if (s.size() - at - 4 < length) return;
      frames.push_back({at + 4, at + 4 + length});
      at += 4 + length;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool useAppendTo = in.ConsumeBool();
  const std::string stream = makeStream(in);
  const Reference ref(stream);

  nm::Decoder decoder;
  size_t fed = 0;
  size_t received = 0;  // messages handed out so far
  bool broken = false;
  std::vector<quillbeam::ByteString> out;
  while (fed < stream.size()) {
    // A chunk of any length, empty ones included; the rest in one piece once the
    // fuzzer's bytes run out.
    const size_t left = stream.size() - fed;
    const size_t length =
        in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange<size_t>(0, left) : left;
    const std::string_view chunk(stream.data() + fed, length);

    out.assign(useAppendTo ? 1 : 0, "kept");  // appendTo adds and never clears
    const size_t before = out.size();
    std::optional<nm::FramingError> thrown;
    try {
      if (useAppendTo) {
        decoder.appendTo(chunk, out);
      } else {
        out = decoder.append(chunk);
      }
    } catch (const nm::FramingError& e) {
      thrown = e;
    }

    if (broken) {
      // Once broken, every call throws the same error and hands out nothing.
      FUZZ_CHECK(thrown && thrown->length() == ref.badLength);
      FUZZ_CHECK(out.size() == before);
      fed += length;
      continue;
    }
    fed += length;
    if (useAppendTo) FUZZ_CHECK(out.front() == "kept");

    size_t complete = received;
    while (complete < ref.frames.size() && ref.frames[complete].end <= fed) ++complete;
    const bool badSeen = ref.badAt && fed >= *ref.badAt + 4;
    if (badSeen) {
      // The messages cut before the bad header come back and failure() is set; with
      // none to return the call throws.
      FUZZ_CHECK(decoder.failure() && decoder.failure()->length() == ref.badLength);
      FUZZ_CHECK(thrown.has_value() == (complete == received));
      if (thrown) FUZZ_CHECK(thrown->length() == ref.badLength);
      broken = true;
    } else {
      FUZZ_CHECK(!thrown);
      FUZZ_CHECK(!decoder.failure());
    }
    FUZZ_CHECK(out.size() - before == complete - received);
    for (size_t i = before; i < out.size(); ++i, ++received) {
      const auto& f = ref.frames[received];
      FUZZ_CHECK(out[i] == std::string_view(stream).substr(f.begin, f.end - f.begin));
    }
    const size_t consumed = received == 0 ? 0 : ref.frames[received - 1].end;
    FUZZ_CHECK(decoder.buffer() == std::string_view(stream).substr(consumed, fed - consumed));
    if (broken) FUZZ_CHECK(consumed == *ref.badAt);
  }
  FUZZ_CHECK(broken == ref.badAt.has_value());
  if (broken) {
    // The call after the one that met the bad header throws, whatever it brings.
    bool threw = false;
    try {
      decoder.append(header(0));
    } catch (const nm::FramingError& e) {
      threw = e.length() == ref.badLength;
    }
    FUZZ_CHECK(threw);
  } else {
    FUZZ_CHECK(received == ref.frames.size());
  }
  return 0;
}
