// ExtensionMessage decoding on arbitrary bytes, as the bridge decodes every frame it reads.
#include "quillbeam/wire/extension_message.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  const std::string_view text = fuzz::asText(data, size);
  auto message = fuzz::checkRoundTrip<ExtensionMessage>(text);
  // decode() is the bridge's entry point: it must agree with fromJson(parse()).
  std::optional<ExtensionMessage> direct;
  try {
    direct = ExtensionMessage::decode(text);
  } catch (const DecodingError&) {
  }
  FUZZ_CHECK(direct == message);
  if (message) {
    // encode() is what the wire carries; it decodes to the same value.
    FUZZ_CHECK(ExtensionMessage::decode(message->encode()) == *message);
  }
  return 0;
}
