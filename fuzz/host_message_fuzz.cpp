// HostMessage decoding on arbitrary bytes, as the bridge checks every companion command
// before relaying it.
#include "quillbeam/wire/host_message.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbeam;
  const std::string_view text = fuzz::asText(data, size);
  auto message = fuzz::checkRoundTrip<HostMessage>(text);
  std::optional<HostMessage> direct;
  try {
    direct = HostMessage::decode(text);
  } catch (const DecodingError&) {
  }
  FUZZ_CHECK(direct == message);
  if (message) FUZZ_CHECK(HostMessage::decode(message->encode()) == *message);
  return 0;
}
